#!/usr/bin/env bash
# scripts/setup.sh against a local archive caught in the middle of a sync: the release suite is
# whole, the security suite has a newer amd64 build of a multi-arch library and an i386 index
# whose size does not match its Release file. apt-get update fails on that index every time,
# and the list (an amd64 program and an i386 one, both on the library) cannot be installed as the
# archive stands: the library's two architectures would differ. The set-up must retry, go on,
# install from the release's own versions and say so; a package that exists nowhere must be
# named with the way out. apt runs in simulation on a private state (APT_CONFIG): nothing on the
# machine is installed or changed.
#
#   stale-index.sh SETUP_SCRIPT
set -euo pipefail

setup=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
release=$(. /etc/os-release && echo "${VERSION_CODENAME:?}")
arch=$(dpkg --print-architecture)
failures=0
check() { # check DESCRIPTION PATTERN: the last run's output holds PATTERN
  if grep -qE -- "$2" "$work/out"; then echo "ok:   $1"; else
    echo "FAIL: $1 (no match for /$2/)"
    failures=$((failures + 1))
  fi
}

# A package of nothing but its control file.
make_deb() { # make_deb NAME VERSION ARCH [CONTROL_LINE...]
  local dir=$work/src/$1-$2-$3 name=$1 version=$2 pkg_arch=$3
  shift 3
  mkdir -p "$dir/DEBIAN"
  printf '%s\n' "Package: $name" "Version: $version" "Architecture: $pkg_arch" \
    "Maintainer: wdmusb tests <tests@invalid>" "Description: set-up test package" "$@" \
    >"$dir/DEBIAN/control"
  dpkg-deb --build --root-owner-group "$dir" "$work/archive/pool/${name}_${version}_${pkg_arch}.deb" \
    >/dev/null
}

# Appends the index stanza of a package to a suite's Packages file for one architecture.
index() { # index SUITE ARCH DEB
  local file=$work/archive/dists/$1/main/binary-$2/Packages
  mkdir -p "$(dirname "$file")"
  {
    dpkg-deb -f "$3"
    echo "Filename: pool/$(basename "$3")"
    echo "Size: $(stat -c %s "$3")"
    echo "SHA256: $(sha256sum "$3" | cut -d' ' -f1)"
    echo
  } >>"$file"
}

release_file() { # release_file SUITE [stale ARCH]: lists the suite's indexes, one of them wrongly
  local dir=$work/archive/dists/$1 f size
  {
    echo "Suite: $1"
    echo "Codename: $1"
    echo "Architectures: $arch i386"
    echo "Components: main"
    echo "Date: $(date -Ru)"
    echo "SHA256:"
    for f in main/binary-$arch/Packages main/binary-i386/Packages; do
      size=$(stat -c %s "$dir/$f")
      [[ "${2:-}" == stale && $f == */binary-$3/* ]] && size=$((size + 1184))
      echo " $(sha256sum "$dir/$f" | cut -d' ' -f1) $size $f"
    done
  } >"$dir/Release"
}

mkdir -p "$work/archive/pool"
make_deb libdemo 1.0 "$arch" "Multi-Arch: same"
make_deb libdemo 1.0 i386 "Multi-Arch: same"
make_deb libdemo 1.0+sec1 "$arch" "Multi-Arch: same"
make_deb libdemo 1.0+sec1 i386 "Multi-Arch: same"
make_deb demo-tool 1.0 "$arch" "Depends: libdemo (>= 1.0)"
make_deb demo32 1.0 i386 "Depends: libdemo (>= 1.0)"
pool=$work/archive/pool
index "$release" "$arch" "$pool/libdemo_1.0_$arch.deb"
index "$release" "$arch" "$pool/demo-tool_1.0_$arch.deb"
index "$release" i386 "$pool/libdemo_1.0_i386.deb"
index "$release" i386 "$pool/demo32_1.0_i386.deb"
index "$release-security" "$arch" "$pool/libdemo_1.0+sec1_$arch.deb"
index "$release-security" i386 "$pool/libdemo_1.0+sec1_i386.deb"
release_file "$release"
release_file "$release-security"

mkdir -p "$work/state/lists/partial" "$work/cache/archives/partial" "$work/etc/none"
: >"$work/status"
echo "deb [trusted=yes] file:$work/archive $release main
deb [trusted=yes] file:$work/archive $release-security main" >"$work/sources.list"
cat >"$work/apt.conf" <<EOF
Dir::Etc::SourceList "$work/sources.list";
Dir::Etc::SourceParts "$work/etc/none";
Dir::Etc::Preferences "$work/etc/none/preferences";
Dir::Etc::PreferencesParts "$work/etc/none";
Dir::State "$work/state";
Dir::State::status "$work/status";
Dir::Cache "$work/cache";
APT::Architecture "$arch";
APT::Get::Simulate "true";
APT::Sandbox::User "root";
Debug::NoLocking "true";
EOF
# The machine as it comes: its lists fetched once, before i386 was added.
cp "$work/apt.conf" "$work/apt-native.conf"
echo "APT::Architectures { \"$arch\"; };" >>"$work/apt-native.conf"
APT_CONFIG=$work/apt-native.conf apt-get update -qq
echo "APT::Architectures { \"$arch\"; \"i386\"; };" >>"$work/apt.conf"
# Then the mirror begins a sync: the security suite's i386 index no longer matches its Release.
sleep 1
release_file "$release-security" stale i386
export APT_CONFIG=$work/apt.conf WDMUSB_SETUP_PAUSE=0

echo "-- the list as the archive stands cannot be installed; from the release it can"
status=0
bash "$setup" demo-tool demo32:i386 >"$work/out" 2>&1 || status=$?
sed 's/^/   | /' "$work/out"
[[ $status -eq 0 ]] && echo "ok:   exit status 0" || {
  echo "FAIL: exit status $status"
  failures=$((failures + 1))
}
check "the failed update is retried" "update failed \(attempt 2 of 3\)"
check "the stale index is named" "going on without .*$release-security/main/binary-i386/Packages"
check "one line says how the list was installed" \
  "^setup: installed from $release's own versions \(apt-get install -t $release\)"

echo "-- a package that exists nowhere is named, with the way out"
status=0
bash "$setup" demo-tool no-such-package >"$work/out" 2>&1 || status=$?
sed 's/^/   | /' "$work/out"
[[ $status -ne 0 ]] && echo "ok:   exit status $status" || {
  echo "FAIL: exit status 0"
  failures=$((failures + 1))
}
check "the package is named alone" "^setup: cannot be installed now: no-such-package$"
check "the way out is said" "^setup: the way out:"

[[ $failures -eq 0 ]] && echo "PASS" || echo "FAIL: $failures check(s)"
exit $((failures > 0))
