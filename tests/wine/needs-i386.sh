#!/usr/bin/env bash
# Runs a test of the Wine run only where this machine can run 32-bit x86 programs: Wine runs the
# driver image inside its i386 loader. Some virtual machines run only 64-bit programs (their
# kernel offers no 32-bit mode: every i386 program fails with "Exec format error"); there the test
# is skipped (exit 77, which CTest reports as skipped) with the reason, never passed.
#
#   needs-i386.sh COMMAND [ARG...]
set -u
loader=/lib/ld-linux.so.2 # the i386 C library's loader, which Wine's i386 loader needs
if [[ ! -e $loader ]]; then
    echo "FAIL: $loader is missing: the i386 packages of Wine are not installed (run scripts/setup.sh)"
    exit 1
fi
"$loader" --version >/dev/null 2>&1
if [[ $? -eq 126 ]]; then
    echo "SKIPPED: this machine cannot run 32-bit x86 programs ($loader: Exec format error), and"
    echo "Wine runs the driver inside one: the Wine run needs a machine whose kernel runs them."
    exit 77
fi
exec "$@"
