#!/usr/bin/env bash
# The repository's formatting and static-analysis rules: clang-format on every C++ file, and
# clang-tidy (.clang-tidy) on the driver, the application library, the simulator and the tools,
# using the host build's compile_commands.json (configure the host preset first).
set -euo pipefail
cd "$(dirname "$0")/.."

echo "lint: clang-format"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

echo "lint: clang-tidy"
run-clang-tidy -p build/host -j "$(nproc)" -quiet \
  '^(?!.*/tests/).*/(driver|usb|pnp|power|io|public|sim|tools|loopback)/.*\.cpp$' > build/clang-tidy.log 2>&1 || {
  grep -E 'error:|warning:' build/clang-tidy.log | sort -u
  echo "lint: clang-tidy found problems (full output: build/clang-tidy.log)"
  exit 1
}
echo "lint: clean"
