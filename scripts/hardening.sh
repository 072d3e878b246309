#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Bounded hardening runs on an existing build (default build/): the churn of
# a watched directory, and a load/create/run/destroy/unload loop under
# valgrind memcheck. Fails on any divergence, leak or memory error.
# Usage: scripts/hardening.sh [BUILD_DIR] [CHURN_SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

dir="${1:-build}"
seconds="${2:-30}"
ensure_packages valgrind

echo "== churn"
timeout --kill-after=10 $((seconds + 120)) "$dir/bin/orva-churn" --seconds "$seconds" --cycles 3

echo "== valgrind memcheck: load, create, run, destroy, unload"
# Only definite leaks count: log4cplus starts a thread when it loads, and that
# thread's TLS block shows as "possibly lost" when the process exits under it.
timeout --kill-after=10 300 valgrind -q --error-exitcode=3 --leak-check=full \
    --show-possibly-lost=no --errors-for-leak-kinds=definite "$dir/bin/orva-lifecycle" 10
