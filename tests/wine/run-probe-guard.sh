#!/usr/bin/env bash
# Runs probe-guard-test.exe (the kernel image's guarded probe in a Win32 program) under Wine, in a
# prefix of its own.
#
#   run-probe-guard.sh PROGRAM WORK_DIR
set -u
if [[ $# -ne 2 ]]; then
    echo "usage: $0 PROGRAM WORK_DIR" >&2
    exit 2
fi
source "$(dirname "$0")/wine-session.sh"
rm -rf "$2"
trap wine_session_end EXIT
wine_session_start "$2" || {
    echo "FAIL: wineboot could not make the prefix $WINEPREFIX"
    exit 1
}
output=$(wine_run 60 "$1" 2>&1)
status=$?
printf '%s\n' "${output//$'\r'/}"
exit $status
