#!/usr/bin/env bash
# Builds the host tools and runs wdmusb-sim with its built-in scenario (arguments are passed on).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset host >/dev/null
cmake --build --preset host -j "$(nproc)" --target wdmusb-sim >/dev/null
exec ./build/host/tools/wdmusb-sim "$@"
