#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sets up and builds what the demo runs (orva-host and the plug-in, when
# needed), then plays orva-host's demo.
# Extra arguments go to orva-host (e.g. --step-ms 1000).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh --target orva-host build
exec build/bin/orva-host --demo "$@"
