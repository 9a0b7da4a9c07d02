#!/usr/bin/env bash
# Shows that check-image.sh and check-inf.sh catch what they are for: each case breaks a copy of
# the built image, its map, the allowlist or the INF in one way and expects the checker to fail
# with the message naming that fault.
#
#   check-checkers.sh CHECKS_DIR IMAGE INF OBJDUMP MAP
set -u

if [[ $# -ne 5 ]]; then
    echo "usage: $0 CHECKS_DIR IMAGE INF OBJDUMP MAP" >&2
    exit 2
fi
checks=$1
image=$2
inf=$3
objdump=$4
map=$5
allowlist=$checks/allowed-imports.txt

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

passed=0
failed=0
report() {
    if [[ $1 == ok ]]; then
        echo "ok:   $2"
        passed=$((passed + 1))
    else
        echo "FAIL: $2"
        failed=$((failed + 1))
    fi
}

# expect_failure NAME PATTERN CHECKER ARGS...: the checker must fail and print PATTERN.
expect_failure() {
    local name=$1 pattern=$2
    shift 2
    local output status
    output=$(bash "$@" 2>&1)
    status=$?
    if ((status == 0)); then
        report fail "$name: the checker passed"
        sed 's/^/      /' <<<"$output"
    elif ! grep -qE -- "$pattern" <<<"$output"; then
        report fail "$name: the checker failed without saying /$pattern/"
        sed 's/^/      /' <<<"$output"
    else
        report ok "$name"
    fi
}

expect_success() {
    local name=$1
    shift
    local output
    if output=$(bash "$@" 2>&1); then
        report ok "$name"
    else
        report fail "$name"
        sed 's/^/      /' <<<"$output"
    fi
}

# --- The image ---------------------------------------------------------------------------------
pe=$(od -An -v -tu4 -j60 -N4 "$image" | tr -d ' ')
characteristics_at=$((pe + 22))     # IMAGE_FILE_HEADER.Characteristics
entry_at=$((pe + 24 + 16))          # IMAGE_OPTIONAL_HEADER32.AddressOfEntryPoint
checksum_at=$((pe + 24 + 64))       # .CheckSum
subsystem_at=$((pe + 24 + 68))      # .Subsystem
dll_characteristics_at=$((pe + 24 + 70))

read_u16() { od -An -v -tu2 -j "$2" -N2 "$1" | tr -d ' '; }
read_u32() { od -An -v -tu4 -j "$2" -N4 "$1" | tr -d ' '; }
write_bytes() { # FILE OFFSET VALUE COUNT: little-endian
    local file=$1 offset=$2 value=$3 count=$4 bytes="" i
    for ((i = 0; i < count; i++)); do
        bytes+=$(printf '\\x%02x' $(((value >> (8 * i)) & 0xff)))
    done
    printf '%b' "$bytes" | dd of="$file" bs=1 seek="$offset" conv=notrunc status=none
}
broken_image() { # NAME: a fresh copy of the image to break
    cp "$image" "$work/$1.sys"
    echo "$work/$1.sys"
}

expect_success "the built image passes" "$checks/check-image.sh" "$image" "$allowlist" "$objdump" "$map"

copy=$(broken_image zero-checksum)
write_bytes "$copy" $checksum_at 0 4
expect_failure "zero checksum" 'checksum is 0' "$checks/check-image.sh" "$copy" "$allowlist" "$objdump" "$map"

copy=$(broken_image stale-checksum)
size=$(stat -c %s "$copy")
last=$(od -An -v -tu1 -j $((size - 1)) -N1 "$copy" | tr -d ' ')
write_bytes "$copy" $((size - 1)) $(((last + 1) & 0xff)) 1
expect_failure "checksum not updated after a change" 'checksum 0x[0-9a-f]+ is wrong' "$checks/check-image.sh" "$copy" "$allowlist" "$objdump" "$map"

copy=$(broken_image zero-timestamp)
write_bytes "$copy" $((pe + 8)) 0 4
expect_failure "zero TimeDateStamp" 'TimeDateStamp is 0' "$checks/check-image.sh" "$copy" "$allowlist" "$objdump" "$map"
WDMUSB_IMAGE_TIMESTAMP=1 expect_failure "TimeDateStamp other than the commit's" \
    'TimeDateStamp is [0-9]+, want 1' "$checks/check-image.sh" "$image" "$allowlist" "$objdump" "$map"

copy=$(broken_image gui-subsystem)
write_bytes "$copy" $subsystem_at 2 2
expect_failure "Windows GUI subsystem" 'Subsystem is 00000002' "$checks/check-image.sh" "$copy" "$allowlist" "$objdump" "$map"

copy=$(broken_image dll)
write_bytes "$copy" $characteristics_at $(($(read_u16 "$copy" $characteristics_at) | 0x2000)) 2
expect_failure "DLL characteristic" 'DLL bit' "$checks/check-image.sh" "$copy" "$allowlist" "$objdump" "$map"

copy=$(broken_image no-seh)
write_bytes "$copy" $dll_characteristics_at \
    $(($(read_u16 "$copy" $dll_characteristics_at) | 0x0400)) 2
expect_failure "NO_SEH characteristic" 'NO_SEH' "$checks/check-image.sh" "$copy" "$allowlist" "$objdump" "$map"

copy=$(broken_image moved-entry)
write_bytes "$copy" $entry_at $(($(read_u32 "$copy" $entry_at) + 16)) 4
expect_failure "entry point elsewhere than DriverEntry" 'is not DriverEntry' "$checks/check-image.sh" "$copy" "$allowlist" "$objdump" "$map"

copy=$(broken_image eh-frame)
printf 'unwind' >"$work/unwind.bin"
"${objdump%objdump}objcopy" --add-section .eh_frame="$work/unwind.bin" "$copy" 2>/dev/null
expect_failure "unwind tables in the image" 'unwanted sections: \.eh_fram' \
    "$checks/check-image.sh" "$copy" "$allowlist" "$objdump" "$map"

# Every driver forwards IRPs, so IofCallDriver is always imported.
grep -v 'IofCallDriver' "$allowlist" >"$work/short-allowlist.txt"
expect_failure "import missing from the allowlist" 'ntoskrnl\.exe!IofCallDriver' \
    "$checks/check-image.sh" "$image" "$work/short-allowlist.txt" "$objdump" "$map"

{
    cat "$map"
    echo ' .ctors         0x00011040        0x4 CMakeFiles/wdmusb.dir/driver/global.cpp.obj'
} >"$work/ctors.map"
expect_failure "global constructor in the link map" 'global constructors.*global\.cpp\.obj' \
    "$checks/check-image.sh" "$image" "$allowlist" "$objdump" "$work/ctors.map"

{
    cat "$map"
    echo '/usr/lib/gcc/i686-w64-mingw32/12-win32/libgcc.a(_udivdi3.o)'
} >"$work/libgcc.map"
expect_failure "libgcc in the link map" 'libgcc\.a' \
    "$checks/check-image.sh" "$image" "$allowlist" "$objdump" "$work/libgcc.map"

# --- The platform names ---------------------------------------------------------------------------
host=$checks/../../platform/host
mkdir "$work/host"
cp "$host"/*.h "$work/host/"
cat >"$work/host/added.h" <<'HEADER'
typedef enum _ADDED_KIND { AddedFirst, AddedSecond = 2 } ADDED_KIND;
NTSTATUS NTAPI IoAddedRoutine(PIRP Irp SIM_CALLER_PARAM);
#define ADDED_LIMIT 4
HEADER
expect_success "the platform names pass" "$checks/check-platform-names.sh" "$host" \
    "$checks/platform_names.cpp" "$checks/host-only-names.txt"
expect_failure "host routine, macro and enum the kernel build is not shown to offer" \
    'IoAddedRoutine' "$checks/check-platform-names.sh" "$work/host" "$checks/platform_names.cpp" \
    "$checks/host-only-names.txt"
output=$(bash "$checks/check-platform-names.sh" "$work/host" "$checks/platform_names.cpp" \
    "$checks/host-only-names.txt")
if grep -qx '  ADDED_KIND' <<<"$output" && grep -qx '  AddedFirst' <<<"$output" &&
    grep -qx '  AddedSecond' <<<"$output" && grep -qx '  ADDED_LIMIT' <<<"$output"; then
    report ok "every kind of new name is reported"
else
    report fail "not every new name is reported"
    sed 's/^/      /' <<<"$output"
fi

# --- The INF -----------------------------------------------------------------------------------
# broken_inf NAME SED-SCRIPT: a copy of the INF edited by SED-SCRIPT, which must change it.
broken_inf() {
    sed -e "$2" "$inf" >"$work/$1.inf"
    if cmp -s "$inf" "$work/$1.inf"; then
        # Runs in a command substitution: say so on stderr and hand back no file, so the case
        # fails instead of checking the unbroken INF.
        echo "$1: the edit '$2' did not change the INF" >&2
        echo "$work/$1.unchanged"
        return
    fi
    echo "$work/$1.inf"
}

expect_success "the INF passes" "$checks/check-inf.sh" "$inf"
expect_failure "Windows 9x signature" 'Signature' \
    "$checks/check-inf.sh" "$(broken_inf chicago 's/\$Windows NT\$/$Chicago$/')"
expect_failure "no ClassInstall32" 'no \[ClassInstall32\]' \
    "$checks/check-inf.sh" "$(broken_inf no-class-install '/^\[ClassInstall32\]/d')"
expect_failure "files not copied to the drivers folder" 'DefaultDestDir' \
    "$checks/check-inf.sh" "$(broken_inf dest-dir 's/^DefaultDestDir=12/DefaultDestDir=11/')"
expect_failure "XP-only decorated models" 'decorated' \
    "$checks/check-inf.sh" "$(broken_inf decorated 's/^\(%ManufacturerName%=WdmUsb.Models\)$/\1,NTx86/')"
expect_failure "malformed hardware ID" 'is not USB' \
    "$checks/check-inf.sh" "$(broken_inf hardware-id 's/VID_1209&PID_0001/VID_12&PID_0001/')"
expect_failure "service not the function driver" 'no function driver' \
    "$checks/check-inf.sh" "$(broken_inf not-function-driver 's/^\(AddService=wdmusb,\)0x00000002/\10x00000000/')"
expect_failure "boot-start service" 'StartType must be 3' \
    "$checks/check-inf.sh" "$(broken_inf start-type 's/^StartType=3/StartType=0/')"
expect_failure "no CopyFiles" 'copies wdmusb.sys' \
    "$checks/check-inf.sh" "$(broken_inf no-copy '/^CopyFiles=/d')"
expect_failure "undefined string" '%NoSuchString%' \
    "$checks/check-inf.sh" "$(broken_inf undefined-string 's/%DiskName%/%NoSuchString%/')"

echo "$passed passed, $failed failed"
((failed == 0))
