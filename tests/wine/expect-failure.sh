#!/usr/bin/env bash
# Shows that a run fails for the reason it should: the command must exit non-zero, name the step
# that failed ("FAIL: step 'STEP'", unless STEP is -) and print PATTERN (an extended regular
# expression).
#
#   expect-failure.sh STEP PATTERN COMMAND ARGS...
set -u
if [[ $# -lt 3 ]]; then
    echo "usage: $0 STEP PATTERN COMMAND ARGS..." >&2
    exit 2
fi
step=$1
pattern=$2
shift 2
output=$("$@" 2>&1)
status=$?
if ((status == 0)); then
    echo "FAIL: the run passed, but it should have failed at step '$step'"
elif [[ $step != - ]] && ! grep -qF "FAIL: step '$step'" <<<"$output"; then
    echo "FAIL: the run failed, but not at step '$step'"
elif ! grep -qE -- "$pattern" <<<"$output"; then
    echo "FAIL: the run failed at step '$step' without saying /$pattern/"
else
    grep -E "^(ok|FAIL):" <<<"$output"
    [[ $step == - ]] && step=""
    echo "ok: the run failed${step:+ at step '$step'}, saying /$pattern/"
    exit 0
fi
sed 's/^/    /' <<<"$output" | tail -n 60
exit 1
