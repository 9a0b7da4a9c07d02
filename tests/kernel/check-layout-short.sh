#!/usr/bin/env bash
# A record declared one field short must stop the build at the layout checks, naming the record,
# before any test could run on it. Copies the declarations, drops one field of the IRP, and
# compiles the layout checks against the copy: the compile must fail with the layout's message.
# The unchanged copy must compile, so the failure is the field's.
#
#   check-layout-short.sh host SOURCE_DIR COMPILER [FLAG...]           the 32-bit host declarations
#   check-layout-short.sh kernel SOURCE_DIR DDK_DIR COMPILER [FLAG...]  the platform's wdm.h
set -uo pipefail
side=$1 source=$2
shift 2
[[ $side == kernel ]] && { ddk_dir=$1; shift; }
compiler=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

case $side in
host)
  cp -r "$source/platform" "$work/platform"
  header=$work/platform/host/io.h
  checks=$source/sim/image/layout_checks.cpp
  include=(-I "$work" -I "$work/platform/host" -I "$source")
  ;;
kernel)
  mkdir -p "$work/ddk"
  cp "$ddk_dir/wdm.h" "$work/ddk/wdm.h"
  header=$work/ddk/wdm.h
  checks=$source/platform/kernel/layout_checks.cpp
  include=(-isystem "$work/ddk" -isystem "$ddk_dir" -I "$source")
  ;;
*)
  echo "usage: $0 host SOURCE_DIR COMPILER [FLAG...] | kernel SOURCE_DIR DDK_DIR COMPILER [FLAG...]" >&2
  exit 2
  ;;
esac

compile() { "$compiler" "$@" "${include[@]}" -std=c++20 -fsyntax-only "$checks" >"$work/out" 2>&1; }

if ! compile "$@"; then
  echo "FAIL: the layout checks do not compile against the unchanged declarations:"
  head -20 "$work/out"
  exit 1
fi
# The IRP's UserBuffer: every field after it moves up by four bytes.
grep -qE '^ *PVOID UserBuffer;' "$header" || { echo "FAIL: no IRP UserBuffer in $header"; exit 1; }
sed -i -E '0,/^ *PVOID UserBuffer;/{/^ *PVOID UserBuffer;/d}' "$header"
if compile "$@"; then
  echo "FAIL: an IRP one field short passed the layout checks"
  exit 1
fi
if ! grep -q 'i386 layout: IRP.Tail.Overlay.CurrentStackLocation is at offset 96' "$work/out"; then
  echo "FAIL: the build stopped, but not at the layout checks naming the IRP:"
  grep -m5 error "$work/out"
  exit 1
fi
echo "ok:   an IRP one field short ($side) stops the build:"
grep -m1 'IRP.Tail.Overlay.CurrentStackLocation' "$work/out" | sed 's/^/      /'
