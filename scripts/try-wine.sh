#!/usr/bin/env bash
# The driver package tried by hand without Windows: builds it (the kernel preset), makes a Wine
# prefix, installs the test USB bus loopbus.sys and then wdmusb.sys from their INFs as a device
# installation program does, starts the loopback device, and prints the commands to use it. The
# prefix's Wine session is left running, the drivers loaded in it, until `wineserver -k`.
#
#   bash scripts/try-wine.sh [--dir DIR] [--no-build] [--build-dir DIR] [--driver IMAGE]
#                            [--persist SECONDS]
#
#   --dir DIR          where the prefix, the packages it was installed from and Wine's trace go
#                      (default build/try-wine); an earlier try there is ended and replaced
#   --no-build         use the kernel build as it is
#   --build-dir DIR    the kernel build (default build/kernel)
#   --driver IMAGE     install this image as wdmusb.sys (default: the build's)
#   --persist SECONDS  end the session SECONDS after its last program (default: never)
#
# The Wine run (tests/wine/run-wine.sh, CTest label "wine") starts with this script, then runs
# the commands it prints. Exits 0 when the device is up with the driver on it.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

usage() {
    sed -n '7,15p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
}

work=$root/build/try-wine
build=$root/build/kernel
image=
persist=forever
do_build=1
while (($# > 0)); do
    case $1 in
    --dir) work=${2:?--dir needs a folder} && shift ;;
    --no-build) do_build=0 ;;
    --build-dir) build=${2:?--build-dir needs a folder} && shift ;;
    --driver) image=${2:?--driver needs an image} && shift ;;
    --persist) persist=${2:?--persist needs seconds} && shift ;;
    *) usage ;;
    esac
    shift
done
mkdir -p "$work" && work=$(cd "$work" && pwd) || exit 1
build=$(cd "$build" 2>/dev/null && pwd || echo "$build")
image=${image:-$build/wdmusb.sys}
# A folder of something else is not ours to empty.
if [[ -n $(ls -A "$work") && ! -f $work/wine-trace.log && ! -d $work/prefix ]]; then
    echo "try-wine: $work is not empty and holds no earlier try: choose another --dir" >&2
    exit 2
fi

if ((do_build)); then
    if ! command -v wine >/dev/null || ! command -v i686-w64-mingw32-g++ >/dev/null; then
        bash "$root/scripts/setup.sh" || exit 1
    fi
    echo "--- building the package (cmake --preset kernel)"
    (cd "$root" && cmake --preset kernel >/dev/null && cmake --build --preset kernel -j2) || {
        echo "FAIL: the kernel build failed"
        exit 1
    }
fi

for file in loopbus.sys loopbus.inf wdmusb.inf wdmusbctl.exe hello_device.exe wine-harness.exe; do
    [[ -f $build/$file ]] || {
        echo "FAIL: $build has no $file: build the package first (without --no-build)"
        exit 1
    }
done

source "$root/tests/wine/wine-steps.sh"
# A failed try ends its session; a good one leaves it running for the commands below.
trap wine_session_end EXIT
run_steps make_prefix install_bus install_driver find_interface || exit 1
trap - EXIT

# The environment of the session, for the user's shell.
cat >"$work/env.sh" <<EOF
# Wine's environment for the prefix of scripts/try-wine.sh: source it, then run the programs.
export WINEPREFIX='$WINEPREFIX' WINEARCH=win32 WINEDLLOVERRIDES='mscoree,mshtml='
export WINEDEBUG='$wine_program_channels'
EOF

at=$(printf '%q' "$work")
cat <<EOF

wdmusb.sys runs under Wine on the loopback device of the test bus loopbus.sys, in the prefix
$WINEPREFIX. The session stays up until 'wineserver -k'. In a shell:

    source $at/env.sh
    cd $at/packages
    wine wdmusbctl.exe list
    wine wdmusbctl.exe info
    wine wdmusbctl.exe loopback 65536 10
    wine hello_device.exe
    wine wine-harness.exe bus unplug
    wine wine-harness.exe bus plug
    grep -aE 'wdmusb|loopbus' $at/wine-trace.log | less
    wineserver -k && rm -rf $at

They list the device, show its configuration, send 10 x 64 KiB through it and back, run the
application library's example, take the device off the bus (surprise removal, then removal) and
put it back, show the drivers' lines in Wine's trace (the IRPs they get, their DbgPrint lines),
and remove everything. 'wine wdmusbctl.exe --help' lists the tool's commands (docs/wdmusbctl.md);
'wine wine-harness.exe' the test bus's controls (docs/wine.md).
EOF
