#!/usr/bin/env bash
# Device code's use of the platform's names beyond the wave API
# (tests/sdk/platform_names.c), against this build's installed SDK: built as
# C89 and C++ with UNICODE (as programs for the platform build) and as C99
# without it (the plain names then stand for the A forms), each by the
# compilers that cehost.pc names with nothing but the pkg-config flags and
# warnings as errors, the C ones also with the checks that GCC 14 makes
# errors by default.  Each must build, run on the real clock (a cross
# build's program under its emulator) with every check passing, and the
# headset must get, byte for byte, what it played through its window
# callback.
#
#   platform_names_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

fail() { echo "platform_names_test: $*" >&2; exit 1; }
value() { awk -v k="$1" '$1 == k { print $2 }' "$2"; }

cmake --install "$build" --prefix "$prefix" >/dev/null
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
cc=$(pkg-config --variable=cc cehost)
cxx=$(pkg-config --variable=cxx cehost)
read -r -a emulator <<<"$(pkg-config --variable=emulator cehost)"
read -r -a flags <<<"$(pkg-config --cflags --libs cehost)"
strict=(-Wall -Wextra -Werror)
c_strict=("${strict[@]}" -Werror=incompatible-pointer-types -Werror=int-conversion -Werror=implicit-function-declaration)
source=$src/tests/sdk/platform_names.c

build_one() {
  local name=$1; shift
  "$@" -o "$work/$name" "${flags[@]}" 2>"$work/$name.log" || { cat "$work/$name.log" >&2; fail "$name does not build"; }
}
build_one c89 "$cc" -std=c89 "${c_strict[@]}" -DUNICODE -D_UNICODE "$source"
build_one c99 "$cc" -std=c99 "${c_strict[@]}" "$source"
build_one cxx "$cxx" -x c++ "${strict[@]}" -DUNICODE -D_UNICODE "$source" -x none

for name in c89 c99 cxx; do
  status=0
  CEHOST_CLOCK=real CEHOST_HEADSET="$work/$name.headset" ${emulator[@]+"${emulator[@]}"} "$work/$name" \
    "$work/$name.expected" >"$work/$name.out" 2>&1 || status=$?
  cat "$work/$name.out"
  [ "$status" = 0 ] || fail "$name exited with $status"
  ! grep -q "^FAIL" "$work/$name.out" || fail "$name: a check failed"
  [ "$(stat -c %s "$work/$name.expected")" = "$(value written "$work/$name.out")" ] ||
    fail "$name did not record what it wrote"
  cmp "$work/$name.expected" "$work/$name.headset" || fail "$name: the headset did not get what was played"
done
echo "platform_names_test: ok"
