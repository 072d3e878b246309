#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the plug-in (and the host stand-in it links) as the packages do, in
# two fresh build directories of different depth, and fails unless both give
# the same bytes: no build or source path may reach the binaries.
# Usage: scripts/check-reproducible.sh [--arch amd64|arm64]   (default amd64)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

arch=$(arch_option "$@")
multiarch=$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
ensure_packages cmake ninja-build g++ dpkg-dev qtbase5-dev liblog4cplus-dev

start=$SECONDS
# One directory beside the sources, one three levels further down.
dirs=(build-repro-a build-repro-b/one/two)
rm -rf build-repro-a build-repro-b
for dir in "${dirs[@]}"; do
    configure_package_build "$dir" "$arch"
    cmake --build "$dir" -j2 --target orva_cb_storagelink >/dev/null
done

failed=0
for file in "$multiarch/orva/workers/liborva_cb_storagelink.so" "$multiarch/liborva_api.so.0"; do
    a="${dirs[0]}/lib/$file" b="${dirs[1]}/lib/$file"
    if cmp -s "$a" "$b"; then
        echo "identical: $file ($(sha256sum <"$a" | cut -c1-16)...)"
    else
        echo "error: $a and $b differ:" >&2
        # Where they differ tells which path leaked in.
        diff <(strings -a "$a") <(strings -a "$b") | head -n 20 >&2 || true
        failed=1
    fi
done
[ "$failed" -eq 0 ] && rm -rf build-repro-a build-repro-b
echo "Reproducibility check: $((SECONDS - start)) s"
exit "$failed"
