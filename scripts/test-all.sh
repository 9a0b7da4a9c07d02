#!/usr/bin/env bash
# Builds everything (host, asan, tsan, kernel, host32, fuzz) and runs every test. Exits non-zero on
# any failure. host32 comes after kernel: its tests load the kernel build's wdmusb.sys, and its
# test preset runs only those (label "image"), not the host tests a second time.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)
# Each phase's seconds, printed at the end: where the suite's time goes.
phases=()
phaseStart=$start
endPhase() {
  local now
  now=$(date +%s)
  phases+=("$1 $((now - phaseStart)) s")
  phaseStart=$now
}

bash scripts/setup.sh
endPhase "set-up"

presets=(${WDMUSB_PRESETS:-host asan tsan kernel host32 fuzz})
for preset in "${presets[@]}"; do
  echo "=== ${preset}: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)"
  endPhase "${preset} build"
done
if [[ " ${presets[*]} " == *" host "* ]]; then
  echo "=== lint"
  bash scripts/lint.sh
  endPhase "lint"
fi
for preset in "${presets[@]}"; do
  echo "=== ${preset}: tests"
  ctest --preset "$preset"
  endPhase "${preset} tests"
done
seconds=$(( $(date +%s) - start ))
# For bench/report: the time, the commit and the load average when it ended.
echo "$seconds $(git rev-parse --short HEAD 2>/dev/null || echo '?') $(cut -d' ' -f1 /proc/loadavg)" \
  >build/test-all.time
printf '%s\n' "${phases[@]}" >build/test-all.phases
echo "=== phases: $(printf '%s, ' "${phases[@]}" | sed 's/, $//')"
echo "=== all builds and tests passed in $((seconds / 60)) min $((seconds % 60)) s"
