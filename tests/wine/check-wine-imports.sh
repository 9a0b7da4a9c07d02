#!/usr/bin/env bash
# Checks that Wine implements every routine an image imports: Wine binds an import it lacks to a
# stub and loads the image anyway, and exports some routines only as stubs that abort the process
# when called ("Call from ... to unimplemented function ..."); only a look at the tables tells.
#
#   check-wine-imports.sh OBJDUMP WINE_DLL_DIR [--supplied ROUTINE]... IMAGE...
#
# WINE_DLL_DIR  Wine's i386 PE modules (ntoskrnl.exe, hal.dll, usbd.sys ...)
# --supplied    a routine Wine has only as a stub that the test bus puts its own in place of
set -u
if [[ $# -lt 3 ]]; then
    echo "usage: $0 OBJDUMP WINE_DLL_DIR [--supplied ROUTINE]... IMAGE..." >&2
    exit 2
fi
objdump=$1
wine_dlls=$2
shift 2
supplied=" "
while [[ ${1:-} == --supplied ]]; do
    supplied+="$2 "
    shift 2
done

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

# The routines a module exports as Wine's stubs: winebuild names their code ___wine_stub_NAME.
stubs_of() {
    "$objdump" -t "$1" | sed -n 's/.* ___wine_stub_\([^ ]*\)$/\1/p'
}

failures=0
declare -A exports stubs
for image in "$@"; do
    missing="" replaced=""
    while read -r dll routine; do
        [[ -z ${dll:-} ]] && continue
        module=$(find "$wine_dlls" -maxdepth 1 -iname "$dll" | head -1)
        if [[ -z $module ]]; then
            missing+=" $dll (no such module in $wine_dlls)"
            continue
        fi
        [[ -v exports[$module] ]] || exports[$module]=$(exports_of "$module")
        [[ -v stubs[$module] ]] || stubs[$module]=$(stubs_of "$module")
        if ! grep -qxF -- "$routine" <<<"${exports[$module]}"; then
            missing+=" $dll!$routine"
        elif grep -qxF -- "$routine" <<<"${stubs[$module]}"; then
            if [[ $supplied == *" $routine "* ]]; then
                replaced+=" $routine"
            else
                missing+=" $dll!$routine (a stub)"
            fi
        fi
    done <<<"$(imports_of "$image")"
    if [[ -n $missing ]]; then
        echo "FAIL: $(basename "$image") imports what Wine does not export:$missing"
        failures=$((failures + 1))
    else
        echo "ok:   every import of $(basename "$image") is exported by Wine ($(imports_of "$image" | wc -l) routines)${replaced:+; Wine's stubs of$replaced are replaced by the test bus's own}"
    fi
done
((failures == 0))
