#!/usr/bin/env bash
# Device code as it is written, against this build's installed SDK:
# tests/sdk/dwordptr.c keeps the player, its buffer slots and its headers in
# DWORDs.  It is built with nothing but the pkg-config flags, by the C
# compiler that cehost.pc names, and run on the real clock (a cross build's
# program under the emulator that cehost.pc names).
#
# With 32-bit pointers (the x86 and ARM builds) it must build without a
# single warning and play: the headset gets, byte for byte, what it wrote.
# With 64-bit pointers its documented failure must be what happens: the
# compiler warns at each cast that cuts a pointer to a DWORD, and the
# callback's address, cut to 32 bits, faults when the driver calls it with
# MM_WOM_OPEN, so waveOutOpen answers MMSYSERR_ERROR and nothing plays.
#
#   dwordptr_test.sh BUILD_DIR SOURCE_DIR POINTER_BYTES
set -euo pipefail
build=$1 src=$2 pointer_bytes=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

fail() { echo "dwordptr_test: $*" >&2; exit 1; }
value() { awk -v k="$1" '$1 == k { print $2 }' "$2"; }

cmake --install "$build" --prefix "$prefix" >/dev/null
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
cc=$(pkg-config --variable=cc cehost)
read -r -a emulator <<<"$(pkg-config --variable=emulator cehost)"
read -r -a flags <<<"$(pkg-config --cflags --libs cehost)"

status=0
if [ "$pointer_bytes" = 4 ]; then
  "$cc" -Wall -Wextra -Werror -o "$work/dwordptr" "$src/tests/sdk/dwordptr.c" "${flags[@]}"
  CEHOST_CLOCK=real CEHOST_HEADSET="$work/headset" ${emulator[@]+"${emulator[@]}"} "$work/dwordptr" "$work/expected" \
    >"$work/out" 2>&1 || status=$?
  cat "$work/out"
  [ "$status" = 0 ] || fail "exited with $status"
  [ "$(stat -c %s "$work/expected")" = "$(value written "$work/out")" ] || fail "the program did not record what it wrote"
  cmp "$work/expected" "$work/headset" || fail "the headset did not get, byte for byte, what was written"
else
  "$cc" -Wall -Wextra -o "$work/dwordptr" "$src/tests/sdk/dwordptr.c" "${flags[@]}" 2>"$work/warnings"
  grep -q "Wpointer-to-int-cast" "$work/warnings" && grep -q "Wint-to-pointer-cast" "$work/warnings" ||
    { cat "$work/warnings" >&2; fail "no warning about pointers cut to DWORDs"; }
  echo "$(grep -c "warning:" "$work/warnings") warnings, as expected with 64-bit pointers"
  CEHOST_CLOCK=real CEHOST_HEADSET="$work/headset" ${emulator[@]+"${emulator[@]}"} "$work/dwordptr" >"$work/out" 2>&1 ||
    status=$?
  cat "$work/out"
  [ "$status" = 2 ] && grep -q "^waveOutOpen: 1$" "$work/out" ||
    fail "with 64-bit pointers: exit $status, not the documented MMSYSERR_ERROR from waveOutOpen"
  # The host says why, once, with the fix.
  [ "$(grep -c "cannot be a pointer in this 64-bit program.*built for 32 bits? use the x86 SDK" "$work/out")" = 1 ] ||
    fail "with 64-bit pointers the cut callback was not told once with its fix"
  [ ! -s "$work/headset" ] || fail "with 64-bit pointers the headset got audio"
fi
echo "dwordptr_test: ok"
