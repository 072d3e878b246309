#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Compares the ABI of liborva_api.so.0 in a build directory (debug
# information needed: the default RelWithDebInfo build) with the baseline of
# the last release, host/abi/liborva_api-VERSION.abi (the highest VERSION),
# using abidiff with the suppressions of host/abi/liborva_api-VERSION.suppr
# when there is one. Fails on an incompatible change (a symbol gone, the
# types of a function or variable changed) and shows abidiff's report;
# passes on none or on additions only, which it lists.
# Usage: scripts/check-abi.sh [--refresh] [BUILD_DIR]   (default build)
# --refresh writes the baseline of the library's version from BUILD_DIR
# instead: run it on the build of a release.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

usage() { sed -n 's/^# Usage: //p' "$0"; }

refresh=false
dir=build
while (($#)); do
    case "$1" in
    --refresh) refresh=true ;;
    -h | --help) usage; exit 0 ;;
    -*) echo "check-abi.sh: unknown option '$1'" >&2; usage >&2; exit 2 ;;
    *) dir="$1" ;;
    esac
    shift
done

ensure_packages "${ABI_CHECK_PACKAGES[@]}"

library="$dir/lib/liborva_api.so.0"
[ -f "$library" ] || { echo "check-abi.sh: no $library; build first" >&2; exit 1; }
# liborva_api.so.0 -> liborva_api.so.0.2.0
version=$(readlink "$library")
version=${version#liborva_api.so.}

if $refresh; then
    baseline="host/abi/liborva_api-$version.abi"
    # Neither the file's path nor the build directory goes into the dump.
    abidw --no-corpus-path --no-comp-dir-path --out-file "$baseline" "$library"
    echo "ABI baseline of $version written to $baseline"
    exit 0
fi

baseline=$(find host/abi -name 'liborva_api-*.abi' | sort -V | tail -n 1)
[ -n "$baseline" ] || { echo "check-abi.sh: no baseline in host/abi" >&2; exit 1; }
suppressions=()
[ ! -f "${baseline%.abi}.suppr" ] || suppressions=(--suppressions "${baseline%.abi}.suppr")

report=$(mktemp)
trap 'rm -f "$report"' EXIT
status=0
abidiff "${suppressions[@]}" "$baseline" "$library" >"$report" 2>&1 || status=$?
# abidiff's status is a bit field: 1 error, 2 usage, 4 a change, 8 an
# incompatible change. It calls only a symbol gone incompatible; a function
# or variable whose types changed (a class grown, a member moved, a
# parameter's type) is a change to it, and one that breaks a worker built
# against the baseline as surely. Only additions pass.
if ((status & 3)); then
    cat "$report" >&2
    echo "check-abi.sh: abidiff failed (status $status)" >&2
    exit 1
fi
if ((status & 8)) ||
    grep -Eq '^(Functions|Variables) changes summary: .*[^0-9][1-9][0-9]* Changed' "$report"; then
    cat "$report" >&2
    echo "check-abi.sh: $library ($version) breaks the ABI of $(basename "$baseline")" >&2
    exit 1
fi
if ((status & 4)); then
    cat "$report"
    echo "ABI of $library ($version): compatible with $(basename "$baseline"), changes listed above"
else
    echo "ABI of $library ($version): as $(basename "$baseline")"
fi
