#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Mutation testing of the plug-in and the host stand-in: installs what the
# build needs (when missing), then runs scripts/mutate.py with the arguments
# given (--help lists them). Its own build directories lie below
# build-mutate/.
# Usage: scripts/mutate.sh [-n COUNT] [--seed S] [-R SUITES] [--jobs J]
#        [--first-kill] [--base DIR] [--list]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

ensure_packages "${BASE_PACKAGES[@]}" python3
exec python3 scripts/mutate.py "$@"
