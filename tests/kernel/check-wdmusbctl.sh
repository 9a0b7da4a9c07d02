#!/usr/bin/env bash
# The driver package: wdmusb.sys, wdmusb.inf and wdmusbctl.exe side by side; wdmusbctl.exe a
# 32-bit Windows console program that needs only the system's DLLs.
#   check-wdmusbctl.sh PACKAGE_DIR OBJDUMP
set -euo pipefail
package=$1
objdump=$2
failed=0
fail() {
  echo "FAIL: $*"
  failed=1
}

for file in wdmusb.sys wdmusb.inf wdmusbctl.exe; do
  [ -s "$package/$file" ] || fail "$file is not in $package"
done
exe=$package/wdmusbctl.exe
if [ -s "$exe" ]; then
  headers=$("$objdump" -p "$exe")
  grep -q "^Magic.*010b" <<<"$headers" || fail "wdmusbctl.exe is not a PE32 image"
  grep -Eq "^Subsystem[[:space:]]+0+3[[:space:]]" <<<"$headers" ||
    fail "wdmusbctl.exe is not a console program (subsystem 3)"
  # Imports: only DLLs every Windows has; none of the toolchain's own.
  dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr '[:upper:]' '[:lower:]' | sort -u)
  for dll in $dlls; do
    case $dll in
    kernel32.dll | setupapi.dll | msvcrt.dll | advapi32.dll | user32.dll) ;;
    *) fail "wdmusbctl.exe imports $dll" ;;
    esac
  done
  grep -qx "setupapi.dll" <<<"$dlls" || fail "wdmusbctl.exe does not import setupapi.dll"
fi
[ "$failed" -eq 0 ] && echo "package: wdmusb.sys, wdmusb.inf, wdmusbctl.exe ($(stat -c %s "$exe") bytes)"
exit "$failed"
