#!/usr/bin/env bash
# Builds everything (host, asan, tsan, kernel, host32, fuzz) and runs every test. Exits non-zero on
# any failure. host32 comes after kernel: its tests load the kernel build's wdmusb.sys, and its
# test preset runs only those (label "image"), not the host tests a second time.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

presets=(${WDMUSB_PRESETS:-host asan tsan kernel host32 fuzz})
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
