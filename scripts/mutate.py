#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Mutation testing for the plug-in, the host stand-in and orva-automount.

Makes one small change at a time to src/modules/storagelink/, host/src/ and
automount/src/
(a comparison flipped, a condition negated, a "+ 1" dropped, a statement
removed, a constant changed, an early return added, two arguments swapped),
rebuilds what the change touches, runs the test suites and records which of
them fail. A mutant no suite kills shows a fault the tests would let through,
or a change no one can observe. Mutants that do not compile are left out of
the score.

The sample is drawn with a seed from every mutant of the current sources, so
the same seed on the same sources gives the same mutants: a run before and a
run after a change to the tests compare like with like.

Each worker has its own copy of the sources and its own build directory
(-O0, executables not relinked when a shared library changes) below
build-mutate/ (or --base), so the project's own build is never touched.
The suites run as ctest lists them, each stopped after --timeout seconds (a
hang counts as a kill), with the watch-limit case on, as in CI, and each
with a temporary directory of its own below the worker tree. Every suite
runs against every mutant, so that the report can tell which suites kill
what; with --first-kill the suites start cheapest first (as timed on the
unchanged sources) and a mutant's remaining suites are stopped or never
started once one kills it: faster, but each kill is credited to that one
suite alone.
"""

import argparse
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import asdict, dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
MUTATED_DIRS = ("src/modules/storagelink", "host/src", "automount/src")


@dataclass
class Mutant:
    file: str
    line: int  # 1-based
    operator: str
    before: str
    after: str
    killed_by: list = field(default_factory=list)
    status: str = "pending"  # killed, survived, build-failed

    def label(self):
        return f"{self.file}:{self.line} [{self.operator}] {self.before.strip()}  =>  {self.after.strip()}"


# ---------------------------------------------------------------- finding --

def masked_lines(text):
    """The lines with comments and the insides of string and character
    literals blanked out, so that the operators only see code, and a flag per
    line for preprocessor lines and lines inside block comments."""
    out, skip = [], []
    in_block = False
    for line in text.split("\n"):
        chars = list(line)
        i, quote, whole_comment = 0, None, in_block
        while i < len(chars):
            c = chars[i]
            nxt = chars[i + 1] if i + 1 < len(chars) else ""
            if in_block:
                if c == "*" and nxt == "/":
                    in_block = False
                    chars[i] = chars[i + 1] = " "
                    i += 2
                    continue
                chars[i] = " "
            elif quote:
                if c == "\\":
                    chars[i] = " "
                    if i + 1 < len(chars):
                        chars[i + 1] = " "
                    i += 2
                    continue
                if c == quote:
                    quote = None
                else:
                    chars[i] = " "
            elif c in "\"'":
                quote = c
            elif c == "/" and nxt == "/":
                for j in range(i, len(chars)):
                    chars[j] = " "
                break
            elif c == "/" and nxt == "*":
                in_block = True
                chars[i] = chars[i + 1] = " "
                i += 2
                continue
            i += 1
        masked = "".join(chars)
        out.append(masked)
        skip.append(whole_comment or masked.lstrip().startswith("#") or not masked.strip())
    return out, skip


def matching_paren(text, open_at):
    depth = 0
    for i in range(open_at, len(text)):
        if text[i] == "(":
            depth += 1
        elif text[i] == ")":
            depth -= 1
            if depth == 0:
                return i
    return -1


def top_level_commas(text, start, end):
    depth, commas = 0, []
    for i in range(start, end):
        if text[i] in "([{":
            depth += 1
        elif text[i] in ")]}":
            depth -= 1
        elif text[i] == "," and depth == 0:
            commas.append(i)
    return commas


FLIP = {"==": "!=", "!=": "==", "<": ">=", ">": "<=", "<=": ">", ">=": "<"}
COMPARISON = re.compile(r"(?<=\s)(==|!=|<=|>=|<|>)(?=\s)")
CONDITION = re.compile(r"\b(if|while) \(")
PLUS_ONE = re.compile(r" [+-] 1(?![\w.])")
NUMBER = re.compile(r"(?<![\w.])(\d+)(?![\w.])")
BOOLEAN = re.compile(r"\b(true|false)\b")
CALL = re.compile(r"\b\w+\(")
MACRO = re.compile(r"^[A-Z0-9_]+$")
# A parameter in a declaration rather than an argument in a call.
PARAMETER = re.compile(r"^(const\s+)?[\w:<>]+(\s*[&*]+\s*\w*|\s+\w+)$")
STATEMENT = re.compile(
    r"^\s*(?:(?:emit|Q_EMIT)\s+)?(?:\+\+|--)?(?:[A-Za-z_]\w*(?:::|\.|->))*[A-Za-z_]\w*"
    r"\s*(?:\(|\[|=(?!=)|\+=|-=|\|=|&=|<<|\+\+|--|;)")
NOT_A_STATEMENT = re.compile(r"^\s*(return|break|continue|case|default|goto|using|typedef|public|private|protected)\b")
SIGNATURE_START = re.compile(r"^[A-Za-z_~]")


def comparison_mutants(line, masked):
    for m in COMPARISON.finditer(masked):
        yield "comparison", line[:m.start()] + FLIP[m.group(1)] + line[m.end():]


def condition_mutants(line, masked):
    for m in CONDITION.finditer(masked):
        open_at = m.end() - 1
        close = matching_paren(masked, open_at)
        if close > 0:
            inner = line[open_at + 1:close]
            yield "negation", line[:open_at + 1] + "!(" + inner + ")" + line[close:]


def plus_one_mutants(line, masked):
    for m in PLUS_ONE.finditer(masked):
        yield "plus-one", line[:m.start()] + line[m.end():]


def constant_mutants(line, masked):
    for m in NUMBER.finditer(masked):
        value = int(m.group(1))
        changed = {0: 1, 1: 0}.get(value, value + 1)
        yield "constant", line[:m.start()] + str(changed) + line[m.end():]
    for m in BOOLEAN.finditer(masked):
        changed = "false" if m.group(1) == "true" else "true"
        yield "constant", line[:m.start()] + changed + line[m.end():]


def swap_mutants(line, masked):
    for m in CALL.finditer(masked):
        if MACRO.match(m.group(0)[:-1]):
            continue
        open_at = m.end() - 1
        close = matching_paren(masked, open_at)
        if close < 0:
            continue
        commas = top_level_commas(masked, open_at + 1, close)
        if len(commas) != 1:
            continue
        first = line[open_at + 1:commas[0]].strip()
        second = line[commas[0] + 1:close].strip()
        if first and second and first != second and not PARAMETER.match(first):
            yield "swap", line[:open_at + 1] + second + ", " + first + line[close:]


def statement_mutants(line, masked, previous):
    code = masked.strip()
    if not code.endswith(";") or "{" in code or "}" in code:
        return
    if NOT_A_STATEMENT.match(masked) or not STATEMENT.match(masked):
        return
    if code.count("(") != code.count(")"):
        return
    # Only a statement that starts on this line: the one before ends one.
    if previous.strip() and previous.rstrip()[-1] not in ";{}):":
        return
    indent = line[:len(line) - len(line.lstrip())]
    yield "removal", indent + "{}"


def early_return_mutants(lines, masks, index):
    """A function body's opening brace at the start of a line: return at
    once, where the return type makes that a one-word change."""
    start = index - 1
    while start > 0 and not SIGNATURE_START.match(lines[start]):
        start -= 1
    signature = " ".join(masks[start:index]).strip()
    name = re.search(r"([~\w]+)::([~\w]+)\(", signature)
    if signature.startswith(("void ", "static void ")) or (
            name and name.group(2).lstrip("~") == name.group(1)):
        yield "early-return", "{ return;"
    elif signature.startswith(("bool ", "static bool ")):
        yield "early-return", "{ return false;"
        yield "early-return", "{ return true;"


def mutants_of(path):
    relative = str(path.relative_to(ROOT))
    lines = path.read_text().split("\n")
    masks, skip = masked_lines("\n".join(lines))
    found, seen = [], set()
    for i, (line, masked) in enumerate(zip(lines, masks)):
        if skip[i]:
            continue
        candidates = []
        if masked == "{" and i > 0 and path.suffix == ".cpp":
            candidates += early_return_mutants(lines, masks, i)
        else:
            previous = next((masks[j] for j in range(i - 1, -1, -1) if not skip[j]), "")
            for generate in (comparison_mutants, condition_mutants, plus_one_mutants,
                             constant_mutants, swap_mutants):
                candidates += generate(line, masked)
            candidates += statement_mutants(line, masked, previous)
        for operator, after in candidates:
            if after != line and (i, after) not in seen:
                seen.add((i, after))
                found.append(Mutant(relative, i + 1, operator, line, after))
    return found


def all_mutants(directories=MUTATED_DIRS):
    found = []
    for directory in directories:
        for path in sorted((ROOT / directory).iterdir()):
            if path.suffix in (".cpp", ".h"):
                found += mutants_of(path)
    return found


# ---------------------------------------------------------------- running --

def run(command, cwd=None, timeout=None, env=None):
    return subprocess.run(command, cwd=cwd, timeout=timeout, env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


class Worker:
    def __init__(self, number, args):
        self.base = args.base / f"w{number}"
        self.tree = self.base / "tree"
        self.build = self.base / "build"
        self.args = args
        # The watch-limit case runs too, as in CI: it lowers the limit of a
        # user namespace of its own, never the machine's.
        self.env = dict(os.environ, LC_ALL="C.UTF-8", ORVA_TEST_WATCH_LIMIT="1")

    def prepare(self):
        listed = run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"], cwd=ROOT)
        # Only what differs is written, and written anew: a file put back
        # with its old time would leave the mutant's object file in place.
        for name in filter(None, listed.stdout.split("\0")):
            source, target = ROOT / name, self.tree / name
            if not source.is_file():
                continue
            content = source.read_bytes()
            if target.is_file() and target.read_bytes() == content:
                continue
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(content)
            shutil.copymode(source, target)
        configured = run(["cmake", "-S", str(self.tree), "-B", str(self.build), "-G", "Ninja",
                          "-DCMAKE_BUILD_TYPE=Debug", "-DCMAKE_CXX_FLAGS=-O0 -g0",
                          "-DCMAKE_LINK_DEPENDS_NO_SHARED=ON"])
        if configured.returncode != 0:
            sys.exit(f"mutate: cmake failed\n{configured.stdout}")
        if not self.compile():
            sys.exit(f"mutate: the unchanged sources do not build in {self.build}")
        self._suites = self.suites()
        self.seconds = {}
        failed = self.test(timed=True)
        if failed:
            sys.exit(f"mutate: suites fail without any mutant: {', '.join(failed)}")
        # Cheapest first: with --first-kill a quick kill spares the slow suites.
        self._suites.sort(key=lambda suite: self.seconds[suite[0]])

    def compile(self):
        built = run(["cmake", "--build", str(self.build), "--", "-j", str(self.args.build_jobs)],
                    timeout=900)
        return built.returncode == 0

    def suites(self):
        """The suites as ctest would run them: name, command, environment and
        working directory. Run directly, a suite that hangs is stopped after
        --timeout, whatever time limit its own ctest entry has."""
        listed = run(["ctest", "--test-dir", str(self.build), "--show-only=json-v1"]
                     + (["-R", self.args.suites] if self.args.suites else []))
        found = []
        for test in json.loads(listed.stdout)["tests"]:
            properties = {p["name"]: p["value"] for p in test.get("properties", [])}
            env = dict(self.env)
            env.update(item.split("=", 1) for item in properties.get("ENVIRONMENT", []))
            # Temporary files of a suite's own, away from /tmp: a worker
            # watches every directory above the watched one, and files that
            # other suites and the compiler make there would wake it, doing
            # by chance what a mutant left undone.
            env["TMPDIR"] = str(self.base / "tmp" / test["name"])
            Path(env["TMPDIR"]).mkdir(parents=True, exist_ok=True)
            found.append((test["name"], test["command"], env,
                          properties.get("WORKING_DIRECTORY", str(self.build))))
        return found

    def run_suite(self, suite, run_state):
        name, command, env, cwd = suite
        lock, running, stopped, timed = run_state
        with lock:
            if stopped:
                return None
            started = time.monotonic()
            process = subprocess.Popen(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                       start_new_session=True)
            running[name] = process
        try:
            failed = process.wait(timeout=self.args.timeout) != 0
        except subprocess.TimeoutExpired:
            stop(process)
            failed = True
        with lock:
            del running[name]
            if timed:
                self.seconds[name] = time.monotonic() - started
            if stopped:  # stopped by another suite's kill: no verdict of its own
                return None
            if failed and self.args.first_kill:
                stopped.append(name)
                for other in running.values():
                    threading.Thread(target=stop, args=(other,)).start()
        return name if failed else None

    def test(self, timed=False):
        run_state = (threading.Lock(), {}, [], timed)
        with ThreadPoolExecutor(self.args.test_jobs) as pool:
            return sorted(filter(None, pool.map(lambda s: self.run_suite(s, run_state),
                                                self._suites)))

    def try_mutant(self, mutant):
        path = self.tree / mutant.file
        original = path.read_text()
        lines = original.split("\n")
        assert lines[mutant.line - 1] == mutant.before, f"sources changed under {mutant.label()}"
        lines[mutant.line - 1] = mutant.after
        path.write_text("\n".join(lines))
        try:
            if not self.compile():
                mutant.status = "build-failed"
                return mutant
            mutant.killed_by = self.test()
            mutant.status = "killed" if mutant.killed_by else "survived"
        finally:
            path.write_text(original)
        return mutant


def stop(process, grace=10):
    """Stops a suite's process group: SIGTERM first, so that a suite's own
    clean-up runs (the loop test detaches its loop devices), and SIGKILL
    only after GRACE seconds."""
    for sig in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.killpg(process.pid, sig)
        except ProcessLookupError:  # it has just ended by itself
            return
        try:
            process.wait(timeout=grace)
            return
        except subprocess.TimeoutExpired:
            pass
    process.wait()


def leftovers(base):
    """Loop devices whose backing file, and mounts whose target, lie below
    BASE: what a suite stopped too hard left behind."""
    prefix = str(base) + "/"
    loops = run(["losetup", "-l", "-n", "-O", "NAME,BACK-FILE"]).stdout.split("\n")
    mounts = run(["findmnt", "-rn", "-o", "TARGET"]).stdout.split("\n")
    return ([line.split()[0] for line in loops if len(line.split()) == 2
             and line.split()[1].startswith(prefix)],
            sorted((m for m in mounts if m.startswith(prefix)), reverse=True))


def clear_leftovers(base):
    """Reports what the run left behind below BASE and takes it away;
    returns whether there was anything."""
    loops, mounts = leftovers(base)
    for target in mounts:
        run(["umount", "-l", target])
    for loop in loops:
        run(["losetup", "-d", loop])
    if loops or mounts:
        print(f"mutate: left behind and taken away: {len(loops)} loop device(s) "
              f"{' '.join(loops)}, {len(mounts)} mount(s) {' '.join(mounts)}", flush=True)
    else:
        print("mutate: nothing left behind (no loop device, no mount)", flush=True)
    return bool(loops or mounts)


def run_all(mutants, args):
    workers = [Worker(n, args) for n in range(args.jobs)]
    print(f"mutate: building {len(workers)} worker tree(s) below {args.base}/", flush=True)
    with ThreadPoolExecutor(len(workers)) as pool:
        list(pool.map(Worker.prepare, workers))
    # Mutants of one file stay with one worker, in order, so each rebuild
    # only recompiles that file.
    queues = [[] for _ in workers]
    for index, mutant in enumerate(mutants):
        queues[index * len(workers) // len(mutants)].append(mutant)
    done = [0]
    started = time.monotonic()

    def work(worker, queue):
        for mutant in queue:
            worker.try_mutant(mutant)
            done[0] += 1
            print(f"[{done[0]}/{len(mutants)} {time.monotonic() - started:.0f}s] {mutant.status}"
                  f" {','.join(mutant.killed_by)}  {mutant.label()}", flush=True)

    with ThreadPoolExecutor(len(workers)) as pool:
        list(pool.map(work, workers, queues))


def report(mutants):
    compiled = [m for m in mutants if m.status in ("killed", "survived")]
    killed = [m for m in compiled if m.status == "killed"]
    failed = len(mutants) - len(compiled)
    print()
    score = 100.0 * len(killed) / len(compiled) if compiled else 0.0
    print(f"Score: {len(killed)} killed / {len(compiled)} compiled = {score:.1f} %"
          f" ({failed} did not build)")
    suites = sorted({s for m in killed for s in m.killed_by})
    print("\nKills per suite (only: mutants no other suite kills):")
    for suite in sorted(suites, key=lambda s: -sum(s in m.killed_by for m in killed)):
        total = sum(suite in m.killed_by for m in killed)
        only = sum(m.killed_by == [suite] for m in killed)
        print(f"  {suite:24} {total:4}   only: {only}")
    survivors = [m for m in compiled if m.status == "survived"]
    print(f"\nSurvivors ({len(survivors)}):")
    for m in survivors:
        print(f"  {m.label()}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-n", "--count", type=int, default=150, help="mutants to sample (0: all)")
    parser.add_argument("--seed", type=int, default=24, help="seed of the sample")
    parser.add_argument("-R", "--suites", help="ctest regular expression of the suites to run")
    parser.add_argument("--dir", action="append", choices=MUTATED_DIRS, dest="dirs",
                        help="mutate only this folder (repeatable; default: all three)")
    parser.add_argument("--jobs", type=int, default=2, help="mutants tried at once")
    parser.add_argument("--build-jobs", type=int, default=2, help="ninja jobs per worker")
    parser.add_argument("--test-jobs", type=int, default=4, help="suites run at once per worker")
    parser.add_argument("--timeout", type=int, default=60, help="seconds per suite")
    parser.add_argument("--first-kill", action="store_true",
                        help="stop a mutant's suites at the first that kills it, cheapest first")
    parser.add_argument("--base", type=Path, default=ROOT / "build-mutate",
                        help="where the worker trees go (one per concurrent run)")
    parser.add_argument("--list", action="store_true", help="print the sample and stop")
    parser.add_argument("--json", type=Path,
                        help="where to write every mutant and its result (default: in --base)")
    parser.add_argument("--report", type=Path, help="print the report of an earlier --json and stop")
    args = parser.parse_args()

    if args.report:
        report([Mutant(**m) for m in json.loads(args.report.read_text())])
        return
    mutants = all_mutants(args.dirs or MUTATED_DIRS)
    total = len(mutants)
    if args.count and args.count < total:
        mutants = random.Random(args.seed).sample(mutants, args.count)
    mutants.sort(key=lambda m: (m.file, m.line))
    print(f"mutate: {len(mutants)} of {total} mutants, seed {args.seed}", flush=True)
    if args.list or not mutants:
        for m in mutants:
            print(m.label())
        return
    args.base = args.base.resolve()
    args.json = args.json or args.base / "results.json"
    started = time.monotonic()
    run_all(mutants, args)
    print(f"mutate: {time.monotonic() - started:.0f} s"
          f"{' (--first-kill)' if args.first_kill else ''}", flush=True)
    left = clear_leftovers(args.base)
    args.json.parent.mkdir(parents=True, exist_ok=True)
    args.json.write_text(json.dumps([asdict(m) for m in mutants], indent=1))
    report(mutants)
    if left:
        sys.exit(1)


if __name__ == "__main__":
    main()
