#!/usr/bin/env bash
# The shipped driver on the real platform's interfaces, under Wine: our test USB bus
# (loopbus.sys) installed from its INF as a root device, wdmusb.sys installed for the bus's child
# from install/wdmusb.inf unchanged, the device found through the setup API, what the bus saw
# checked; then wdmusbctl.exe drives the device as a user would (list, info, loopback, vendor
# requests, port reset), bad vendor requests are refused, the device is unplugged under a read in
# flight and its removal checked.
#
#   run-wine.sh BUILD_DIR WORK_DIR [DRIVER_IMAGE]
#
# BUILD_DIR     the kernel build: loopbus.sys, loopbus.inf, wdmusb.sys, wdmusb.inf, wdmusbctl.exe,
#               wine-harness.exe
# WORK_DIR      made afresh: the prefix, the packages as installed from, the logs
# DRIVER_IMAGE  installed as wdmusb.sys (default: BUILD_DIR/wdmusb.sys)
#
# WDMUSB_WINE_DRIVER_IO        0: the driver serves no opens, reads, writes or control codes yet:
#                              the device is unplugged after the start, without wdmusbctl.exe
# WDMUSB_WINE_LOOPBACK_ROUNDS  round trips of 65536 bytes in the loopback step (default 50)
# WDMUSB_WINE_LOOPBACK_FAULT   a bus fault armed before the loopback ("corrupt in 1000": the run
#                              must then fail at the loopback step)
#
# Each step prints "ok: STEP" or "FAIL: ..." with the reason, and on failure the part of Wine's
# trace written during that step. Exits 0 when every step passed.
set -u

if [[ $# -lt 2 || $# -gt 3 ]]; then
    echo "usage: $0 BUILD_DIR WORK_DIR [DRIVER_IMAGE]" >&2
    exit 2
fi
build=$1
work=$2
image=${3:-$build/wdmusb.sys}
source "$(dirname "$0")/wine-session.sh"

readonly kBusHardwareId='Root\WdmusbLoopBus'
readonly kDeviceHardwareId='USB\VID_1209&PID_0001'
readonly kWaitSeconds=30
readonly kCommandSeconds=60
readonly kRequestBytes=65536
readonly kLoopbackRounds=${WDMUSB_WINE_LOOPBACK_ROUNDS:-50}
readonly kTests=$(cd "$(dirname "$0")" && pwd)

# The steps, in order.
steps=(make_prefix install_bus install_driver find_interface check_start list info loopback vendor
    bad_vendor reset unplug_during_read check_removal)
if [[ ${WDMUSB_WINE_DRIVER_IO:-1} == 0 ]]; then
    echo "the driver serves no I/O yet: the steps with wdmusbctl.exe are left out"
    steps=(make_prefix install_bus install_driver find_interface check_start unplug check_removal)
fi

# A Win32 program of the packages folder, run from there; its console lines lose their carriage
# returns.
program() {
    local output status
    output=$(cd "$work/packages" && wine_run $kCommandSeconds "$@" 2>&1)
    status=$?
    [[ -n $output ]] && printf '%s\n' "${output//$'\r'/}"
    return $status
}
harness() { program wine-harness.exe "$@"; }
ctl() { program wdmusbctl.exe "$@"; }

# A count of the bus's last "name value" lines, e.g. count surprise_removals; and how much it grew
# since the counts were kept with keep_counts.
count() { awk -v name="$1" '$1 == name { print $2 }' <<<"$counts"; }
keep_counts() { kept=$counts; }
grown() { echo $(($(count "$1") - $(awk -v name="$1" '$1 == name { print $2 }' <<<"$kept"))); }

read_counts() {
    counts=$(harness bus counts) || return 1
    # Only what is not zero, on a few lines.
    awk '$2 != 0 { printf "%s %s  ", $1, $2 } END { print "" }' <<<"$counts" | fold -s -w 100 |
        sed 's/^/    /'

}

# expect NAME OPERATOR VALUE: a count compared, with a message naming it when it is not so.
expect() {
    local value
    value=$(count "$1")
    if [[ -z $value ]] || ! (("$value" $2 $3)); then
        echo "FAIL: the bus counted $1 ${value:-(missing)}, expected $2 $3"
        return 1
    fi
}

# expect_grown NAME OPERATOR VALUE: the same for how much a count grew since keep_counts.
expect_grown() {
    local value
    value=$(grown "$1")
    if ! (("$value" $2 $3)); then
        echo "FAIL: the bus's $1 grew by $value, expected $2 $3"
        return 1
    fi
}

# --- Steps ---------------------------------------------------------------------------------------
step_make_prefix() {
    rm -rf "$work"
    mkdir -p "$work/packages/bus" "$work/packages/driver"
    cp "$build/loopbus.sys" "$build/loopbus.inf" "$work/packages/bus/" &&
        cp "$image" "$work/packages/driver/wdmusb.sys" &&
        cp "$build/wdmusb.inf" "$work/packages/driver/" &&
        cp "$build/wine-harness.exe" "$build/wdmusbctl.exe" "$work/packages/" || return 1
    wine_session_start "$work" || {
        echo "FAIL: wineboot could not make the prefix $WINEPREFIX"
        return 1
    }
    [[ -f $WINEPREFIX/drive_c/windows/system32/drivers/usbd.sys ]] || {
        echo "FAIL: the prefix has no drivers folder with USBD.SYS after wineboot"
        return 1
    }
    echo "prefix $WINEPREFIX, $(wine --version)"
}

step_install_bus() {
    harness install-root 'bus\loopbus.inf' "$kBusHardwareId" || return 1
    # The bus reports its child from its start; the control device answers from its AddDevice.
    local deadline=$((SECONDS + kWaitSeconds))
    until counts=$(harness bus counts 2>/dev/null) && [[ $(count device_present) == 1 ]]; do
        if ((SECONDS >= deadline)); then
            echo "FAIL: the bus did not report its device within $kWaitSeconds s"
            return 1
        fi
        sleep 0.5
    done
    echo "the bus started and reports the loopback device"
}

# Waits up to SECONDS for wdmusb.sys to be loaded and its AddDevice called, as Wine's trace since
# MARK shows it. 0: loaded and added; 1: Wine could not load it, or loaded it with imports it
# lacks (printed); 2: no sign.
wait_for_driver_load() {
    local mark=$1 deadline=$((SECONDS + $2)) trace missing
    while :; do
        trace=$(wine_trace_since "$mark")
        # Windows refuses to load an image whose import it does not export; Wine binds the import
        # to a stub that fails only when called, and warns.
        missing=$(grep -oE 'No implementation for [^ ]+ imported from [^ ]*wdmusb\.sys' <<<"$trace" |
            awk '{ print $4 }' | sort -u | tr '\n' ' ')
        if [[ -n $missing ]]; then
            echo "FAIL: wdmusb.sys imports what Wine does not export: $missing"
            echo "(Windows would not load such an image; Wine loads it with a stub in that place)"
            return 1
        fi
        if grep -qE 'err:module:.*wdmusb\.sys|err:(ntoskrnl|plugplay):.*wdmusb' <<<"$trace"; then
            echo "FAIL: Wine could not load wdmusb.sys:"
            grep -E '^[0-9a-f]+:err:' <<<"$trace" | sed 's/^/    /'
            return 1
        fi
        if grep -qE 'init_driver init done for L"wdmusb"' <<<"$trace" &&
            grep -qE 'load_function_driver AddDevice routine [0-9A-F]+ returned' <<<"$trace"; then
            grep -E 'AddDevice routine [0-9A-F]+ returned' <<<"$trace" | tail -1 |
                sed 's/.*\(AddDevice routine\)/wdmusb.sys loaded; its \1/'
            if ! grep -qE 'AddDevice routine [0-9A-F]+ returned 0\.' <<<"$trace"; then
                echo "FAIL: wdmusb.sys's AddDevice failed"
                return 1
            fi
            return 0
        fi
        ((SECONDS >= deadline)) && return 2
        sleep 0.5
    done
}

# The device is on the bus already, with no driver. Wine copies the INF's files and adds its
# service, but (unlike Windows) does not restart a present device with the driver it has just
# installed: the device is unplugged and plugged in again, and its new enumeration loads the
# driver in the process of the bus driver and calls AddDevice with the child's PDO.
step_install_driver() {
    local mark status
    mark=$(wine_trace_mark)
    harness update-driver 'driver\wdmusb.inf' "$kDeviceHardwareId" || return 1
    wait_for_driver_load "$mark" 3
    status=$?
    ((status != 2)) && return $status
    echo "Wine did not start the device with its new driver: plugging it in again"
    mark=$(wine_trace_mark)
    harness bus unplug || return 1
    local deadline=$((SECONDS + kWaitSeconds))
    until counts=$(harness bus counts) && [[ $(count pdo_exists) == 0 ]]; do
        if ((SECONDS >= deadline)); then
            echo "FAIL: the device's PDO was not removed within $kWaitSeconds s of the unplug"
            return 1
        fi
        sleep 0.5
    done
    harness bus plug || return 1
    wait_for_driver_load "$mark" $kWaitSeconds
    status=$?
    if ((status == 2)); then
        echo "FAIL: no sign of wdmusb.sys being loaded within $kWaitSeconds s"
        return 1
    fi
    return $status
}

step_find_interface() { harness wait-interface $kWaitSeconds; }

# The start as the bus saw it: the device descriptor, the configuration descriptor (once, as it
# fits the first read), and the configuration selected.
step_check_start() {
    read_counts || return 1
    expect configuration == 1 && expect starts == 1 && expect device_descriptor_reads ">=" 1 &&
        expect configuration_descriptor_reads == 1 && expect select_configurations == 1 &&
        expect refused_requests == 0 || return 1
    surprise_removals_before=$(count surprise_removals)
    removals_before=$(count removals)
}

# The applications' view: one device of the interface class, the loopback device's IDs.
step_list() {
    local output lines
    output=$(ctl list) || return 1
    echo "$output"
    lines=$(grep -c . <<<"$output")
    if ((lines != 1)) || ! grep -qiE '^0  1209:0001  .*921d5b4c-f136-4364-8a92-b1098e53ca9e' <<<"$output"; then
        echo "FAIL: wdmusbctl list should show the one loopback device (1209:0001) of the class"
        return 1
    fi
}

# The configuration descriptor as the driver read it from the bus, decoded as the simulator's
# run of the same program shows it.
step_info() {
    local output
    output=$(ctl info) || {
        echo "$output"
        return 1
    }
    echo "$output"
    bash "$kTests/compare-info.sh" "$kTests/loopback-info.txt" <<<"$output"
}

# Round trips of 65536 bytes, each byte checked by wdmusbctl; the bus must have moved exactly
# those bytes each way, every transfer through an MDL, none cancelled or refused.
step_loopback() {
    local bytes=$((kLoopbackRounds * kRequestBytes))
    read_counts >/dev/null && keep_counts || return 1
    if [[ -n ${WDMUSB_WINE_LOOPBACK_FAULT:-} ]]; then
        # shellcheck disable=SC2086 # the fault is words
        harness bus fault $WDMUSB_WINE_LOOPBACK_FAULT || return 1
    fi
    ctl loopback $kRequestBytes "$kLoopbackRounds" || {
        echo "FAIL: wdmusbctl loopback failed (exit status $?)"
        return 1
    }
    read_counts || return 1
    local transfers=$(($(grown bulk_in_transfers) + $(grown bulk_out_transfers)))
    expect_grown bulk_out_bytes == $bytes && expect_grown bulk_in_bytes == $bytes &&
        expect_grown mdl_transfers == $transfers && expect_grown cancelled_transfers == 0 &&
        expect_grown refused_requests == 0 && expect queued_bytes == 0 || return 1
    echo "the bus moved $bytes bytes each way in $(grown bulk_out_transfers) OUT and" \
        "$(grown bulk_in_transfers) IN transfers"
}

# Vendor requests on the default pipe. Without a data stage: an OUT writes one byte of the
# device's memory, a request the device stalls fails with a clear error. With one, the bytes
# written are read back; under Wine the data stage cannot reach the application's buffer (the
# driver runs in another process, and Wine's probe and mapping of it are stubs), so there that
# request must fail with a clear error instead, the device untouched.
step_vendor() {
    local data=0102030405060708090a0b0c0d0e0f10 output status
    read_counts >/dev/null && keep_counts || return 1
    ctl vendor out 1 0x5a 32 0 || return 1
    output=$(ctl vendor in 0xff 0 0 0)
    status=$?
    echo "$output"
    if ((status != 6)) || ! grep -q 'ERROR_GEN_FAILURE' <<<"$output"; then
        echo "FAIL: a stalled request should fail with ERROR_GEN_FAILURE (exit status 6)"
        return 1
    fi
    output=$(ctl vendor out 1 0 32 16 --data $data)
    status=$?
    echo "$output"
    if ((status == 0)); then
        output=$(ctl vendor in 1 0 32 16) || return 1
        echo "$output"
        grep -qE '^00000000  01 02 03 04 05 06 07 08  ?09 0a 0b 0c 0d 0e 0f 10' <<<"$output" || {
            echo "FAIL: the bytes read back differ from those written"
            return 1
        }
        read_counts >/dev/null && expect_grown vendor_requests == 4
    elif grep -q 'sending the vendor request: .*(ERROR_' <<<"$output"; then
        echo "the data stage failed with a clear error, exit status $status: the bus could not map"
        echo "the application's buffer (Wine's MmMapLockedPagesSpecifyCache is a stub)"
        read_counts >/dev/null && expect_grown vendor_requests == 2
    else
        echo "FAIL: the request with a data stage neither succeeded nor failed with a clear error"
        return 1
    fi
}

# Bad records refused by the driver with ERROR_INVALID_PARAMETER, nothing sent to the bus; bad
# buffers failed (with ERROR_NOACCESS on Windows; Wine's probe does not check them).
step_bad_vendor() {
    read_counts >/dev/null && keep_counts || return 1
    harness bad-vendor records || return 1
    read_counts >/dev/null && expect_grown vendor_requests == 0 || return 1
    harness bad-vendor buffers && read_counts >/dev/null && expect_grown refused_requests == 0
}

# A reset re-enables a disabled port, and only then: on an enabled port it sends no port reset.
step_reset() {
    read_counts >/dev/null && keep_counts || return 1
    ctl reset || return 1
    read_counts >/dev/null && expect_grown port_resets == 0 || return 1
    harness bus disable-port && ctl reset || return 1
    read_counts && expect_grown port_status_queries ">=" 2 && expect_grown port_resets == 1 ||
        return 1
    ctl loopback $kRequestBytes 1
}

step_unplug() {
    unplug_mark=$(wine_trace_mark)
    harness bus unplug && harness wait-no-interface $kWaitSeconds
}

# A read waiting for data when the device is unplugged: it must end (with an error, or with the
# bytes moved so far, none included), wdmusbctl must say so, and the interface must go.
step_unplug_during_read() {
    local output=$work/read-at-unplug.txt deadline reader status
    read_counts >/dev/null && keep_counts || return 1
    unplug_mark=$(wine_trace_mark)
    ctl --timeout 60000 read 16 >"$output" 2>&1 &
    reader=$!
    deadline=$((SECONDS + kWaitSeconds))
    until read_counts >/dev/null && (($(grown bulk_in_transfers) >= 1)); do
        if ((SECONDS >= deadline)); then
            echo "FAIL: the read did not reach the bus within $kWaitSeconds s"
            kill "$reader" 2>/dev/null
            return 1
        fi
        sleep 0.5
    done
    harness bus unplug || return 1
    wait "$reader"
    status=$?
    sed 's/^/    /' "$output"
    case $status in
    0) echo "the read in flight ended with the bytes it moved" ;;
    124) echo "FAIL: the read in flight did not end after the unplug" && return 1 ;;
    *)
        # The driver ends a transfer cut short by the removal with success and the bytes moved
        # so far; none here. The tool must say so.
        if grep -q 'the device moved nothing' "$output"; then
            echo "the read in flight ended with the bytes it moved (none), reported (exit status $status)"
            harness wait-no-interface $kWaitSeconds && read_counts >/dev/null &&
                expect_grown cancelled_transfers ">=" 1
            return
        fi
        grep -q '^wdmusbctl: reading 16 bytes: .*(ERROR_' "$output" || {
            echo "FAIL: wdmusbctl did not report how the read ended"
            return 1
        }
        echo "the read in flight ended with an error, reported (exit status $status)"
        ;;
    esac
    harness wait-no-interface $kWaitSeconds && read_counts >/dev/null &&
        expect_grown cancelled_transfers ">=" 1
}

step_check_removal() {
    read_counts || return 1
    expect device_present == 0 && expect pdo_exists == 0 &&
        expect surprise_removals == $((surprise_removals_before + 1)) &&
        expect removals == $((removals_before + 1)) || return 1
    # Wine 8.0 keeps a Plug and Play function driver loaded after its last device went away (it
    # unloads it only with its host process, and the service takes no stop): what can be seen
    # is the removal reaching the driver, which deletes its device and disables its interface.
    local trace
    trace=$(wine_trace_since "$unplug_mark")
    if ! grep -qE 'IoSetDeviceInterfaceState device .*921d5b4c-f136-4364-8a92-b1098e53ca9e.*enable 0' <<<"$trace"; then
        echo "FAIL: wdmusb.sys did not disable its interface at the removal"
        return 1
    fi
    if grep -qE 'Call driver unload|Unloaded module .*wdmusb\.sys' <<<"$trace"; then
        echo "wdmusb.sys removed its device and was unloaded"
    else
        echo "wdmusb.sys removed its device and disabled its interface; Wine keeps the driver loaded"
    fi
}

# --- Running them ----------------------------------------------------------------------------------
run_started=$SECONDS
for step in "${steps[@]}"; do
    echo "--- $step"
    mark=0
    [[ -n ${WINE_TRACE:-} && -f ${WINE_TRACE:-} ]] && mark=$(wine_trace_mark)
    started=$SECONDS
    if ! "step_$step"; then
        echo "FAIL: step '$step' failed after $((SECONDS - started)) s"
        if [[ -n ${WINE_TRACE:-} && -f $WINE_TRACE ]]; then
            echo "--- Wine's trace during '$step' (last 80 lines; whole trace: $WINE_TRACE)"
            wine_trace_since "$mark" | tail -n 80 | sed 's/^/    /'
        fi
        exit 1
    fi
    echo "ok: $step ($((SECONDS - started)) s)"
done
echo "all ${#steps[@]} steps passed in $((SECONDS - run_started)) s"
