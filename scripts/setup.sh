#!/usr/bin/env bash
# Installs what building and testing wdmusb needs, with apt-get, and only what is missing.
#
# A Debian mirror in the middle of a sync is ordinary: an index fails to download ("File has
# unexpected size ... Mirror sync in progress?"), and when it is the i386 index of the security
# suite, the i386 packages left (the release's) no longer match the amd64 packages' security
# versions that apt picks, which multi-arch packages must match exactly ("held broken packages").
# So a failed index update is retried, then tolerated, and a list apt cannot install as the
# archive stands is installed from the release's own versions (apt-get install -t RELEASE).
#
#   bash scripts/setup.sh              the project's packages
#   bash scripts/setup.sh PACKAGE...   these instead (the set-up's own test uses this)
#
# APT_CONFIG is apt's own: a test points it at a local archive. WDMUSB_SETUP_PAUSE is the pause
# in seconds before the first retry of the index update (it doubles; default 10).
set -euo pipefail

packages=(cmake ninja-build g++ googletest libgtest-dev libgmock-dev g++-mingw-w64-i686
          binutils-mingw-w64-i686 clang-format clang-tidy
          libcli11-dev libpcap-dev pkg-config tshark
          libbenchmark-dev valgrind clang libclang-rt-dev
          # Wine runs the kernel image and the Win32 programs: its 32-bit loader comes from the
          # i386 architecture's wine32 package.
          wine wine32:i386
          # The 32-bit host build (preset host32): the compiler's i386 support, the test libraries
          # built for i386, and qemu's emulator for machines that do not run i386 programs.
          g++-multilib libgtest-dev:i386 libgmock-dev:i386 libpcap0.8:i386 qemu-user)
[ "$#" -eq 0 ] || packages=("$@")

update_attempts=3
pause=${WDMUSB_SETUP_PAUSE:-10}
log=$(mktemp)
trap 'rm -f "$log"' EXIT

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
[ "${#missing[@]}" -gt 0 ] || exit 0
echo "setup: installing ${missing[*]}"

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
# Wait for another apt-get on the same machine rather than fail on its lock; retry downloads.
apt=("${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600 -o Acquire::Retries=3)

needs_i386() { [[ " ${missing[*]}" == *":i386"* ]]; }
if needs_i386 && ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo_cmd[@]}" dpkg --add-architecture i386
fi

# Prints the index files that failed, from apt-get update's errors in $log.
failed_indexes() {
  grep -o 'Failed to fetch [^ ]*' "$log" | sed 's/^Failed to fetch //; s/ *$//' | sort -u |
    paste -sd' ' || true
}

update_indexes() {
  local attempt wait=$pause
  for ((attempt = 1; attempt <= update_attempts; attempt++)); do
    "${apt[@]}" update -qq >"$log" 2>&1 && return 0
    if ((attempt < update_attempts)); then
      echo "setup: apt-get update failed (attempt $attempt of $update_attempts), again in ${wait} s:" \
        "$(failed_indexes)"
      sleep "$wait"
      wait=$((wait * 2))
    fi
  done
  return 1
}

stale=""
if ! update_indexes; then
  stale=$(failed_indexes)
  echo "setup: going on without these indexes (the mirror is still syncing?): ${stale:-see below}"
  [ -n "$stale" ] || grep -E '^(E|W):' "$log" || true
fi

install=(install -y -qq --no-install-recommends)
if "${apt[@]}" "${install[@]}" "${missing[@]}" >"$log" 2>&1; then
  exit 0
fi

release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
if [ -n "$release" ] &&
  "${apt[@]}" "${install[@]}" -t "$release" "${missing[@]}" >"$log" 2>&1; then
  echo "setup: installed from ${release}'s own versions (apt-get install -t ${release}): as the" \
    "archive stands apt could not install the list${stale:+ (stale or missing: ${stale})}"
  exit 0
fi

# Name the packages that cannot be installed, each tried alone.
echo "setup: FAILED: apt-get could not install the list, from the archive as it stands nor from" \
  "${release:-the release}'s own versions. apt said:"
grep -E '^(E:| )' "$log" | head -20 || tail -20 "$log"
culprits=()
for p in "${missing[@]}"; do
  "${apt[@]}" install --simulate -qq ${release:+-t "$release"} "$p" >/dev/null 2>&1 ||
    culprits+=("$p")
done
echo "setup: cannot be installed now: ${culprits[*]:-the list as a whole}"
echo "setup: the way out: if a mirror was syncing, run again in a few minutes; otherwise install" \
  "them by hand (sudo apt-get install ${culprits[*]:-${missing[*]}}) and run again."
exit 1
