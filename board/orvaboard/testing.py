# SPDX-License-Identifier: MIT
"""unittest as the board's suites run it: each failing test's board kept
for a look afterwards, classes and tests in reverse order on request, and
skipped (exit status 77) where no board can be built."""

import argparse
import os
import sys
import unittest

from . import sticks
from .fixture import save_artifacts


class KeepingResult(unittest.TextTestResult):
    """Keeps the board's journal, console and events (save_artifacts) of a
    test that fails, at the moment it fails, in a folder named
    Class.test_name. The test's board is its attribute board."""

    def addError(self, test, err):
        self.keep(test)
        super().addError(test, err)

    def addFailure(self, test, err):
        self.keep(test)
        super().addFailure(test, err)

    def addSubTest(self, test, subtest, err):
        if err is not None:
            self.keep(test)
        super().addSubTest(test, subtest, err)

    @staticmethod
    def keep(test):
        # A class's own errors come without a board: booted keeps those.
        board = getattr(test, "board", None)
        if board is not None and isinstance(test, unittest.TestCase):
            save_artifacts(board, f"{type(test).__name__}.{test._testMethodName}")


class ReversedLoader(unittest.TestLoader):
    """Classes and their tests in reverse order, to show that none needs
    another to run first."""

    def loadTestsFromModule(self, module, **kwargs):
        return self.suiteClass(reversed(list(super().loadTestsFromModule(module, **kwargs))))

    def getTestCaseNames(self, testCaseClass):
        return list(reversed(super().getTestCaseNames(testCaseClass)))


def run(argv, case):
    """Runs the calling module's tests: [--arch amd64|arm64] [--reverse]
    [unittest options]; --arch sets case.ARCH. Returns the exit status: 0,
    1 when a test failed, 77 (skipped) where the board cannot be built."""
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--arch", choices=["amd64", "arm64"], default="amd64")
    parser.add_argument("--reverse", action="store_true")
    args, rest = parser.parse_known_args(argv[1:])
    case.ARCH = args.arch
    if os.geteuid() != 0:
        print("skipped: the board's image is built as root", file=sys.stderr)
        return 77
    missing = sticks.tools_missing()
    if missing:
        print(f"skipped: missing {' '.join(missing)}", file=sys.stderr)
        return 77
    loader = ReversedLoader() if args.reverse else unittest.TestLoader()
    runner = unittest.TextTestRunner(resultclass=KeepingResult, verbosity=2)
    program = unittest.main(argv=[argv[0], *rest], testLoader=loader, testRunner=runner,
                            exit=False)
    return 0 if program.result.wasSuccessful() else 1
