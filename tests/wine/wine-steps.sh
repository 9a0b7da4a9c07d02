# Sourced by scripts/try-wine.sh and the Wine run (tests/wine/run-wine.sh): the package installed in
# a Wine prefix step by step, the helpers the steps use, and the runner that takes them in turn.
#
# The caller sets:
#   build   the kernel build: loopbus.sys, loopbus.inf, wdmusb.sys, wdmusb.inf, wdmusbctl.exe,
#           hello_device.exe, wine-harness.exe
#   work    the folder of the prefix (prefix/), the packages as installed from (packages/) and
#           Wine's trace (wine-trace.log)
#   image   the driver image installed as wdmusb.sys
#   persist how long the session lasts after its last program (wine-session.sh)
source "$(dirname "${BASH_SOURCE[0]}")/wine-session.sh"

readonly kBusHardwareId='Root\WdmusbLoopBus'
readonly kDeviceHardwareId='USB\VID_1209&PID_0001'
readonly kWaitSeconds=30
readonly kCommandSeconds=60

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

# --- Installing the package ----------------------------------------------------------------------
step_make_prefix() {
    # The session of an earlier run in this folder ends first: its server may be persistent.
    if [[ -d $work/prefix ]]; then
        WINEPREFIX=$work/prefix timeout 30 wineserver -k 2>/dev/null
        WINEPREFIX=$work/prefix timeout 30 wineserver -w 2>/dev/null
    fi
    rm -rf "$work/prefix" "$work/packages" "$work/wine-trace.log" "$work/env.sh"
    mkdir -p "$work/packages/bus" "$work/packages/driver"
    cp "$build/loopbus.sys" "$build/loopbus.inf" "$work/packages/bus/" &&
        cp "$image" "$work/packages/driver/wdmusb.sys" &&
        cp "$build/wdmusb.inf" "$work/packages/driver/" &&
        cp "$build/wine-harness.exe" "$build/wdmusbctl.exe" "$build/hello_device.exe" \
            "$work/packages/" || return 1
    wine_session_start "$work" "$persist" || {
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

# --- Running steps ---------------------------------------------------------------------------------
# run_steps STEP...: each step_STEP in turn. Each prints "ok: STEP" or "FAIL: ..." with the reason,
# and on failure the part of Wine's trace written while it ran; the first failure ends the run
# (status 1).
run_steps() {
    local step mark started run_started=$SECONDS
    for step in "$@"; do
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
            return 1
        fi
        echo "ok: $step ($((SECONDS - started)) s)"
    done
    echo "all $# steps passed in $((SECONDS - run_started)) s"
}
