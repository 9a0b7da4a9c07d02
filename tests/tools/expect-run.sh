#!/usr/bin/env bash
# Runs a command and checks how it ended: its exit status, and each pattern (an extended regular
# expression) somewhere in what it printed (standard output and error together).
#   expect-run.sh STATUS PATTERN... -- COMMAND [ARG...]
set -uo pipefail
expected=$1
shift
patterns=()
while [ "$#" -gt 0 ] && [ "$1" != "--" ]; do
  patterns+=("$1")
  shift
done
shift
output=$("$@" 2>&1)
status=$?
failed=0
if [ "$status" -ne "$expected" ]; then
  echo "expect-run: exit status $status, expected $expected"
  failed=1
fi
for pattern in "${patterns[@]}"; do
  if ! grep -Eq -- "$pattern" <<<"$output"; then
    echo "expect-run: nothing matches: $pattern"
    failed=1
  fi
done
if [ "$failed" -ne 0 ]; then
  echo "--- output of: $*"
  echo "$output"
fi
exit "$failed"
