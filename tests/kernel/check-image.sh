#!/usr/bin/env bash
# Checks the kernel image wdmusb.sys against what Windows 2000 and later need from a WDM driver.
#
#   check-image.sh IMAGE ALLOWLIST OBJDUMP [MAP]
#
# IMAGE      the linked wdmusb.sys
# ALLOWLIST  tests/kernel/allowed-imports.txt: "DLL routine" per line, # comments
# OBJDUMP    i686-w64-mingw32-objdump
# MAP        the linker's map file (optional): used to check the entry point is DriverEntry and
#            that no global constructor or runtime library made it into the image
#
# Prints one line per check ("ok:" or "FAIL:") and exits non-zero if any check failed.
set -u

if [[ $# -lt 3 || $# -gt 4 ]]; then
    echo "usage: $0 IMAGE ALLOWLIST OBJDUMP [MAP]" >&2
    exit 2
fi
image=$1
allowlist=$2
objdump=$3
map=${4:-}

failures=0
pass() { echo "ok:   $*"; }
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

for file in "$image" "$allowlist" ${map:+"$map"}; do
    if [[ ! -r $file ]]; then
        echo "FAIL: cannot read $file"
        exit 1
    fi
done

if ! headers=$("$objdump" -p "$image" 2>&1); then
    echo "FAIL: $objdump -p could not read $image: $headers"
    exit 1
fi
sections=$("$objdump" -h "$image" 2>&1)

# The value of a "Name<tabs>value" line of objdump -p.
field() { awk -v name="$1" '$1 == name { print $2; exit }' <<<"$headers"; }
hex() { printf '%d' "0x$1" 2>/dev/null || echo -1; }

# --- Format ------------------------------------------------------------------------------------
if grep -q 'file format pei-i386' <<<"$headers" && [[ $(field Magic) == 010b ]]; then
    pass "PE32 image for i386"
else
    fail "not a PE32 i386 image (want 'file format pei-i386' and Magic 010b)"
fi

characteristics=$(awk '$1 == "Characteristics" { print $2; exit }' <<<"$headers")
characteristics=$((characteristics))
if ((characteristics & 0x2000)); then
    fail "Characteristics $(printf 0x%x $characteristics) has the DLL bit (0x2000): link without -shared"
else
    pass "not a DLL"
fi
if ((characteristics & 0x0001)); then
    fail "relocations stripped (Characteristics bit 0x0001): the loader cannot relocate the driver"
elif ! ((characteristics & 0x0002)); then
    fail "not marked executable (Characteristics bit 0x0002)"
else
    pass "executable with relocations"
fi

dll_characteristics=$(( 0x$(field DllCharacteristics) ))
if ((dll_characteristics & 0x0400)); then
    fail "DllCharacteristics has NO_SEH (0x0400): the dispatcher would refuse the guarded probe's exception handler"
else
    pass "structured exception handlers allowed (no NO_SEH)"
fi

subsystem=$(field Subsystem)
if [[ $subsystem == 00000001 ]]; then
    pass "native subsystem (1)"
else
    fail "Subsystem is ${subsystem:-missing}, want 00000001 (native)"
fi

subsystem_version="$(field MajorSubsystemVersion).$(field MinorSubsystemVersion)"
os_version="$(field MajorOSystemVersion).$(field MinorOSystemVersion)"
if [[ $subsystem_version == 5.0 && $os_version == 5.0 ]]; then
    pass "subsystem and OS version 5.0 (Windows 2000 loads it)"
else
    fail "subsystem version $subsystem_version, OS version $os_version: want 5.0 for Windows 2000"
fi

# --- Time stamp ----------------------------------------------------------------------------------
# IMAGE_FILE_HEADER.TimeDateStamp: a crash dump finds the image's symbols by it. With
# WDMUSB_IMAGE_TIMESTAMP set, it must be that (the commit's time).
pe_header=$(od -An -v -tu4 -j60 -N4 "$image" | tr -d ' ')
timestamp=$(od -An -v -tu4 -j $((pe_header + 8)) -N4 "$image" | tr -d ' ')
if ((timestamp == 0)); then
    fail "TimeDateStamp is 0: crash dumps could not be matched with the image"
elif [[ -n ${WDMUSB_IMAGE_TIMESTAMP:-} && $timestamp != "$WDMUSB_IMAGE_TIMESTAMP" ]]; then
    fail "TimeDateStamp is $timestamp, want $WDMUSB_IMAGE_TIMESTAMP (the commit's time)"
else
    pass "TimeDateStamp $timestamp ($(date -u -d @"$timestamp" '+%Y-%m-%d %H:%M:%S UTC'))"
fi

# --- Entry point -------------------------------------------------------------------------------
entry=$(hex "$(field AddressOfEntryPoint)")
base=$(hex "$(field ImageBase)")
if ((entry <= 0)); then
    fail "no entry point (AddressOfEntryPoint is 0)"
elif [[ -n $map ]]; then
    driver_entry=$(awk '$2 ~ /^_?DriverEntry@8$/ { print $1; exit }' "$map")
    if [[ -z $driver_entry ]]; then
        fail "DriverEntry@8 not found in the link map $map"
    elif ((base + entry == driver_entry)); then
        pass "entry point is DriverEntry ($(printf 0x%x $entry))"
    else
        fail "entry point $(printf 0x%x $((base + entry))) is not DriverEntry at $driver_entry"
    fi
else
    pass "entry point set ($(printf 0x%x $entry))"
fi

# --- Sections and directories ------------------------------------------------------------------
# objdump cuts section names to the 8 characters of the PE header: .eh_frame shows as .eh_fram.
section_names=$(awk '$1 ~ /^[0-9]+$/ { print $2 }' <<<"$sections")
unwanted=$(grep -E '^\.(eh_fram|ctors|dtors|tls|CRT|edata|pdata|xdata)' <<<"$section_names" | tr '\n' ' ')
if [[ -n $unwanted ]]; then
    fail "unwanted sections: $unwanted(unwind tables, constructors, TLS or exports have no place in a driver)"
else
    pass "no .eh_frame, constructor, TLS or export section"
fi
if grep -qx '.text' <<<"$section_names" && grep -qx '.reloc' <<<"$section_names"; then
    pass "has .text and .reloc"
else
    fail "missing .text or .reloc (sections: $(tr '\n' ' ' <<<"$section_names"))"
fi

directory() { awk -v n="$1" '$1 == "Entry" && $2 == n { print $4; exit }' <<<"$headers"; }
if [[ $(directory 0) != 00000000 ]]; then
    fail "the image has an export directory"
fi
if [[ $(directory 9) != 00000000 ]]; then
    fail "the image has a TLS directory (thread-local storage does not exist for drivers)"
fi
if [[ $(directory 5) == 00000000 || -z $(directory 5) ]]; then
    fail "no base relocation directory"
fi

# --- Imports -----------------------------------------------------------------------------------
# "DLL routine" for each import; an import by ordinal shows as "DLL #ordinal". objdump lists a
# module's imports as tab-indented "vma<TAB>hint name" lines after its "DLL Name:" line, up to
# a blank line.
imports=$(awk '
    /^[[:space:]]*DLL Name:/ { dll = $3; next }
    /^[[:space:]]*$/ { dll = "" }
    dll != "" && /^\t[0-9a-f]+\t *[0-9]+ +[^[:space:]]+/ { print dll, $3; next }
    dll != "" && /^\t[0-9a-f]+\t *[0-9]+ *$/ { print dll, "#" $2 }
' <<<"$headers")

if [[ -z $imports ]]; then
    fail "no imports found: a driver imports at least from ntoskrnl.exe"
fi

bad_dlls=$(awk '{ print $1 }' <<<"$imports" | sort -u |
    grep -viE '^(ntoskrnl\.exe|hal\.dll|usbd\.sys)$' | tr '\n' ' ')
if [[ -n $bad_dlls ]]; then
    fail "imports from modules other than ntoskrnl.exe, HAL.dll and USBD.SYS: $bad_dlls"
else
    pass "imports only from ntoskrnl.exe, HAL.dll, USBD.SYS"
fi

allowed=$(sed -e 's/#.*//' "$allowlist" | awk 'NF >= 2 { print tolower($1), $2 }')
not_allowed=""
while read -r dll routine; do
    [[ -z ${dll:-} ]] && continue
    if ! grep -qxF "${dll,,} $routine" <<<"$allowed"; then
        not_allowed+="  $dll!$routine"$'\n'
    fi
done <<<"$imports"
if [[ -n $not_allowed ]]; then
    fail "imports not on the allowlist $allowlist (not known to exist in Windows 2000):"
    printf '%s' "$not_allowed"
else
    pass "all $(wc -l <<<"$imports") imported routines are on the allowlist"
fi
echo "      imports: $(tr '\n' ',' <<<"$imports" | sed -e 's/,$//' -e 's/,/, /g')"

# --- Checksum ----------------------------------------------------------------------------------
# The PE checksum: sum of the file's 16-bit little-endian words with the checksum field taken as
# 0, carries folded into 16 bits, plus the file length (od pads an odd last byte with zero, as
# the definition does). Windows refuses a driver whose checksum is wrong.
stored=$(hex "$(field CheckSum)")
pe_offset=$(od -An -v -tu4 -j60 -N4 "$image" | tr -d ' ')
checksum_offset=$((pe_offset + 88))
size=$(stat -c %s "$image")
computed=$(od -An -v -tu2 "$image" | awk -v skip=$((checksum_offset / 2)) -v size="$size" '
    {
        for (i = 1; i <= NF; i++) {
            if (word != skip && word != skip + 1) {
                sum += $i
                sum = (sum % 65536) + int(sum / 65536)
            }
            word++
        }
    }
    END {
        sum = (sum % 65536) + int(sum / 65536)
        printf "%d", sum + size
    }')
if ((stored == 0)); then
    fail "checksum is 0: Windows checks driver checksums, the linker must write one"
elif ((stored != computed)); then
    fail "checksum $(printf 0x%08x $stored) is wrong, the image's is $(printf 0x%08x $computed)"
else
    pass "checksum $(printf 0x%08x $stored) is correct"
fi

# --- Link map ----------------------------------------------------------------------------------
if [[ -n $map ]]; then
    constructors=$(grep -E '^ \.(ctors|dtors)[^ ]*[[:space:]]+0x[0-9a-f]+[[:space:]]+0x0*[1-9a-f][0-9a-f]*[[:space:]]' "$map" |
        awk '{ print $NF }' | sort -u | tr '\n' ' ')
    if [[ -n $constructors ]]; then
        fail "global constructors or destructors (nothing runs them in a driver) from: $constructors"
    else
        pass "no global constructors or destructors"
    fi
    archives=$(grep -oE '[^/ (]+\.a\(' "$map" | sed 's/($//' | sort -u |
        grep -vxE 'lib(ntoskrnl|hal|wdmusb_usbd|wdmusb_kernel_platform)\.a' | tr '\n' ' ')
    if [[ -n $archives ]]; then
        fail "linked from libraries other than the import libraries and the kernel platform library (libgcc or libstdc++ would bring unwind tables and foreign imports): $archives"
    else
        pass "linked only from the import libraries and the kernel platform library"
    fi
fi

if ((failures > 0)); then
    echo "$failures check(s) of $image failed"
    exit 1
fi
echo "all checks of $image passed"
