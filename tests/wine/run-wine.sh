#!/usr/bin/env bash
# The shipped driver on the real platform's interfaces, under Wine. scripts/try-wine.sh installs
# it as a user trying the package would have it: our test USB bus (loopbus.sys) from its INF as a
# root device, wdmusb.sys for the bus's child from install/wdmusb.inf unchanged, the device found
# through the setup API. Then the commands it printed are run as printed, what the bus saw is
# checked, and wdmusbctl.exe drives the device as a user would (list, info, loopback, vendor
# requests, port reset, a read cancelled at its time-out), bad vendor requests are refused, the
# device is unplugged under a read in flight and its removal checked.
#
#   run-wine.sh BUILD_DIR WORK_DIR [DRIVER_IMAGE]
#
# BUILD_DIR     the kernel build: loopbus.sys, loopbus.inf, wdmusb.sys, wdmusb.inf, wdmusbctl.exe,
#               hello_device.exe, wine-harness.exe
# WORK_DIR      made afresh: the prefix, the packages as installed from, the logs
# DRIVER_IMAGE  installed as wdmusb.sys (default: BUILD_DIR/wdmusb.sys)
#
# WDMUSB_WINE_DRIVER_IO        0: the driver serves no opens, reads, writes or control codes yet:
#                              the device is unplugged after the start, without wdmusbctl.exe
# WDMUSB_WINE_DRIVER_CANCEL    0: the driver does not cancel reads and writes yet: the step of the
#                              read cancelled at its time-out is left out
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
build=$(cd "$1" && pwd)
work=$2
image=${3:-$build/wdmusb.sys}
readonly kTests=$(cd "$(dirname "$0")" && pwd)
readonly kRoot=$(cd "$kTests/../.." && pwd)
readonly kRequestBytes=65536
readonly kLoopbackRounds=${WDMUSB_WINE_LOOPBACK_ROUNDS:-50}
readonly kReadTimeoutMs=500

# The steps after the installation, in order.
read_timeout=read_timeout
if [[ ${WDMUSB_WINE_DRIVER_CANCEL:-1} == 0 ]]; then
    echo "the driver does not cancel reads and writes yet: the read cancelled at its time-out is" \
        "left out"
    read_timeout=
fi
steps=(try_commands check_start list info loopback vendor bad_vendor reset $read_timeout
    unplug_during_read check_removal)
if [[ ${WDMUSB_WINE_DRIVER_IO:-1} == 0 ]]; then
    echo "the driver serves no I/O yet: the steps with wdmusbctl.exe are left out"
    steps=(check_start unplug check_removal)
fi

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
# The commands scripts/try-wine.sh printed for the user, run as printed in a shell of their own
# (its environment file sourced, in the packages folder): the device listed, a loopback that
# verifies, the application library's example.
step_try_commands() {
    local line output status
    local -a commands
    local pattern='wdmusbctl.exe list\|wdmusbctl.exe loopback .*\|hello_device.exe'
    mapfile -t commands < <(sed -n "s/^    \(wine \($pattern\)\)$/\1/p" "$work/try-wine.txt")
    if ((${#commands[@]} != 3)); then
        echo "FAIL: scripts/try-wine.sh did not print the commands to list, loop back and run" \
            "the example"
        return 1
    fi
    for line in "${commands[@]}"; do
        echo "\$ $line"
        output=$(bash -c "source '$work/env.sh' && cd '$work/packages' &&
            timeout $kCommandSeconds $line" 2>&1)
        status=$?
        printf '%s\n' "${output//$'\r'/}" | sed 's/^/    /'
        if ((status != 0)); then
            echo "FAIL: '$line' exited with status $status"
            return 1
        fi
    done
    grep -q "^sent and read back 14 bytes: hello, device" <<<"${output//$'\r'/}" || {
        echo "FAIL: the example did not send its message and read it back"
        return 1
    }
}

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

# A read at the device with nothing to send, cancelled at its time-out: it ends with the time-out
# reported, within the time limit, and the device takes the next request: a loopback on the same
# install verifies.
step_read_timeout() {
    local output status
    read_counts >/dev/null && keep_counts || return 1
    output=$(ctl --timeout $kReadTimeoutMs read 16)
    status=$?
    echo "$output"
    if ((status != 6)) || ! grep -qE "^wdmusbctl: reading 16 bytes, waited $kReadTimeoutMs ms: no \
answer in time: the request was cancelled.*\(ERROR_SEM_TIMEOUT, 121\)" <<<"$output"; then
        echo "FAIL: the read should end at its time-out, cancelled (ERROR_SEM_TIMEOUT, status 6)"
        return 1
    fi
    read_counts >/dev/null && expect_grown cancelled_transfers ">=" 1 || return 1
    ctl loopback $kRequestBytes 10
}

# A read waiting for data when the device is unplugged: it must end, wdmusbctl must say the
# device is going (the driver ends a transfer cut short by the removal with success and the bytes
# moved so far, here none, and the tool's library then asks the driver about the handle), and the
# interface must go.
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
    5)
        grep -qE '^wdmusbctl: reading 16 bytes: .*\(ERROR_[A-Z_]+, [0-9]+\)' "$output" || {
            echo "FAIL: wdmusbctl did not say how the read ended"
            return 1
        }
        echo "the read in flight was cut short by the removal, and wdmusbctl says so (status 5)"
        ;;
    *)
        echo "FAIL: a read cut short by the removal must be reported as such (status 5)"
        return 1
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
# The installation, as a user trying the package has it, in a folder of its own.
source "$kTests/wine-steps.sh"
if [[ -d $work/prefix ]]; then
    wine_session_join "$work" && wine_session_end # an earlier run's session
fi
rm -rf "$work" && mkdir -p "$(dirname "$work")" || exit 1
bash "$kRoot/scripts/try-wine.sh" --no-build --build-dir "$build" --dir "$work" --driver "$image" \
    --persist 300 >"$work.try-wine.txt" 2>&1
status=$?
cat "$work.try-wine.txt"
mv "$work.try-wine.txt" "$work/try-wine.txt" 2>/dev/null
if ((status != 0)); then
    # The session ends with try-wine.sh's failure.
    exit 1
fi
wine_session_join "$work"
trap wine_session_end EXIT
run_steps "${steps[@]}" || exit 1
