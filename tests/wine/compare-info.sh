#!/usr/bin/env bash
# Compares what `wdmusbctl info` showed of the device (on standard input) with the text expected;
# the line naming the device's path differs from one platform to another and is left out. Prints
# the difference when there is one.
#
#   wdmusbctl info | compare-info.sh EXPECTED
set -u
if [[ $# -ne 1 ]]; then
    echo "usage: wdmusbctl info | $0 EXPECTED" >&2
    exit 2
fi
expected=$1
shown=$(tr -d '\r' | grep -v '^Device [0-9]*: ')
if ! difference=$(diff "$expected" - <<<"$shown"); then
    echo "FAIL: the descriptors shown differ from $expected (< expected, > shown):"
    sed 's/^/    /' <<<"$difference"
    exit 1
fi
echo "the descriptors shown are those expected ($(wc -l <"$expected") lines)"
