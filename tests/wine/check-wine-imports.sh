#!/usr/bin/env bash
# Checks that Wine exports every routine an image imports: Wine binds an import it lacks to a stub
# and loads the image anyway, so only a look at both export and import tables tells.
#
#   check-wine-imports.sh OBJDUMP WINE_DLL_DIR IMAGE...
#
# WINE_DLL_DIR  Wine's i386 PE modules (ntoskrnl.exe, hal.dll, usbd.sys ...)
set -u
if [[ $# -lt 3 ]]; then
    echo "usage: $0 OBJDUMP WINE_DLL_DIR IMAGE..." >&2
    exit 2
fi
objdump=$1
wine_dlls=$2
shift 2

# "DLL routine" per import, as objdump lists an image's import tables.
imports_of() {
    "$objdump" -p "$1" | awk '
        /^[[:space:]]*DLL Name:/ { dll = $3; next }
        /^[[:space:]]*$/ { dll = "" }
        dll != "" && /^\t[0-9a-f]+\t *[0-9]+ +[^[:space:]]+/ { print dll, $3 }'
}

exports_of() {
    "$objdump" -p "$1" | sed -n 's/^\t\[ *[0-9]*\] \([^ ]*\)$/\1/p'
}

failures=0
declare -A exports
for image in "$@"; do
    missing=""
    while read -r dll routine; do
        [[ -z ${dll:-} ]] && continue
        module=$(find "$wine_dlls" -maxdepth 1 -iname "$dll" | head -1)
        if [[ -z $module ]]; then
            missing+=" $dll (no such module in $wine_dlls)"
            continue
        fi
        [[ -v exports[$module] ]] || exports[$module]=$(exports_of "$module")
        grep -qxF -- "$routine" <<<"${exports[$module]}" || missing+=" $dll!$routine"
    done <<<"$(imports_of "$image")"
    if [[ -n $missing ]]; then
        echo "FAIL: $(basename "$image") imports what Wine does not export:$missing"
        failures=$((failures + 1))
    else
        echo "ok:   every import of $(basename "$image") is exported by Wine ($(imports_of "$image" | wc -l) routines)"
    fi
done
((failures == 0))
