#!/usr/bin/env bash
# Builds everything (host, asan, tsan, kernel, fuzz) and runs every test. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

presets=(${WDMUSB_PRESETS:-host asan tsan kernel fuzz})
for preset in "${presets[@]}"; do
  echo "=== ${preset}: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)"
done
if [[ " ${presets[*]} " == *" host "* ]]; then
  echo "=== lint"
  bash scripts/lint.sh
fi
for preset in "${presets[@]}"; do
  echo "=== ${preset}: tests"
  ctest --preset "$preset"
done
echo "=== all builds and tests passed"
