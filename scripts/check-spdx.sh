#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Every tracked source, build and script file names its license in its first
# lines. Documents, data and the license itself are left out.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
while IFS= read -r -d '' f; do
    case "$f" in
    *.md | *.png | *.json | *.abi | LICENSE | .gitignore | .clang-format | fuzz/corpus/*) continue ;;
    esac
    head -n 5 -- "$f" | grep -q 'SPDX-License-Identifier: MIT' || missing+=("$f")
done < <(git ls-files -z)
if ((${#missing[@]})); then
    printf 'no SPDX-License-Identifier line in: %s\n' "${missing[@]}" >&2
    exit 1
fi
echo "SPDX-License-Identifier: MIT in every source file"
