#!/usr/bin/env bash
# Installs what building and testing wdmusb needs, with apt-get, and only what is missing.
set -euo pipefail

packages=(cmake ninja-build g++ googletest libgtest-dev libgmock-dev g++-mingw-w64-i686
          binutils-mingw-w64-i686 clang-format clang-tidy
          libcli11-dev libpcap-dev pkg-config tshark
          libbenchmark-dev valgrind clang libclang-rt-dev)
# Wine runs the kernel image and the Win32 programs: its 32-bit loader comes from the i386
# architecture's wine32 package.
wine_packages=(wine wine32:i386)

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

missing=()
for p in "${packages[@]}" "${wine_packages[@]}"; do
  installed "$p" || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo_cmd dpkg --add-architecture i386
  fi
  # Wait for another apt-get on the same machine rather than fail on its lock.
  apt=(apt-get -o DPkg::Lock::Timeout=600)
  $sudo_cmd "${apt[@]}" update -qq
  $sudo_cmd "${apt[@]}" install -y -qq --no-install-recommends "${missing[@]}"
fi
