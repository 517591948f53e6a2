#!/usr/bin/env bash
# The SDK as a user meets it: install this build into a fresh prefix, build
# examples/tone against it with CMake and with pkg-config, and run it on the
# real clock (a cross build's programs under its emulator, qemu-arm for the
# ARM build).  What reached the headset must be what the example wrote:
# byte for byte when the device takes its format, and the converted amount
# when the mapper converts 22,050 Hz mono to the device's 44,100 Hz stereo;
# a build without the mapper's converter (one configured without the
# target's libswresample) must refuse that format instead.  (tone's bytes are counted, not compared: while a loop
# repeats, each packet reads on past the loop's end into the next buffer,
# so its looped buffer does not arrive in the order written.)
# Then the C back end (examples/tone_c) and a C++ program that includes only
# the platform's three headers (tests/sdk/include_only.cpp), each built by
# gcc and by clang (a cross build: by its own compilers) with nothing but
# the pkg-config flags: what reached the headset must be, byte for byte,
# what the program says it should be, converted streams and their last
# frames included; without a converter, tone_c's three converted streams
# must be refused and the rest played.
#
#   example_test.sh BUILD_DIR SOURCE_DIR CXX_COMPILER [CONVERTS]
#
# CONVERTS is 1 when the build's mapper converts formats (the default), else
# 0.  A cross build's example is configured with the toolchain file that the
# SDK installs, and run under the emulator that its cehost.pc names.
set -euo pipefail
build=$1 src=$2 cxx=$3 converts=${4:-1}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

fail() { echo "example_test: $*" >&2; exit 1; }
value() { awk -v k="$1" '$1 == k { print $2 }' "$2"; }

cmake --install "$build" --prefix "$prefix" >/dev/null
for f in include/cehost/host/waveapi.h include/cehost/host/kernel.h include/cehost/platform/windows.h \
         include/cehost/btstandin/btstandin.h include/cehost/btlink/lmr.h include/cehost/driver/config.h \
         lib/libcehost.so lib/libbtstandin.so lib/libcehostapp.so lib/libbtwav.so \
         lib/cmake/cehost/cehostConfig.cmake lib/pkgconfig/cehost.pc; do
  [ -e "$prefix/$f" ] || fail "the install lacks $f"
done
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
read -r -a emulator <<<"$(pkg-config --variable=emulator cehost)"
# The stand-in's header and the driver's shared ones, as a test of one's own
# includes them through the package's flags.
printf '#include <btstandin/btstandin.h>\n#include <driver/config.h>\nconst char* key = BTWAV_DRIVER_KEY;\n' \
  >"$work/standin_header.cpp"
"$cxx" -std=c++17 -Wall -Wextra -Werror -c -o "$work/standin_header.o" "$work/standin_header.cpp" \
  $(pkg-config --cflags cehost) || fail "the installed stand-in's header does not compile"
toolchain=()
if [ -e "$prefix/lib/cmake/cehost/toolchain.cmake" ]; then
  toolchain=(-DCMAKE_TOOLCHAIN_FILE="$prefix/lib/cmake/cehost/toolchain.cmake")
fi

cmake -S "$src/examples/tone" -B "$work/tone" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
      ${toolchain[@]+"${toolchain[@]}"} -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/tone" >/dev/null

# run NAME ARGS...: runs the example, leaves its output and the headset
# report.  It must exit with status 0, or with $EXPECT when that is set.
run() {
  local name=$1; shift
  status=0
  CEHOST_CLOCK=${CLOCK:-real} CEHOST_REPORT="$work/$name.report" ${emulator[@]+"${emulator[@]}"} "$@" >"$work/$name.out" 2>&1 ||
    status=$?
  if [ "$status" != "${EXPECT:-0}" ]; then
    cat "$work/$name.out" >&2
    fail "$name exited with $status"
  fi
  cat "$work/$name.out"
}

run same "$work/tone/tone"
written=$(value written "$work/same.out")
# The driver's position falls back by the loop's length at each wrap, so it
# ends at the buffers' bytes, each counted once.
[ "$(value position "$work/same.out")" = "$(value buffers "$work/same.out")" ] || fail "position is not the buffers' bytes"
[ "$(value headset_bytes "$work/same.report")" = "$written" ] || fail "the headset did not get $written bytes"
grep -q "device 1: Bluetooth A2DP Output" "$work/same.out" || fail "the driver is not device 1"
# The same program, unchanged, on the virtual clock that moves by itself: it
# ends on its own, and the headset gets what it got on the real clock.
CLOCK=virtual-auto run auto "$work/tone/tone"
[ "$(value headset_bytes "$work/auto.report")" = "$written" ] || fail "on virtual-auto the headset did not get $written bytes"
[ "$(value written "$work/auto.out")" = "$written" ] || fail "on virtual-auto the example wrote other bytes"

if [ "$converts" = 1 ]; then
  run mapped "$work/tone/tone" 22050 1
  written=$(value written "$work/mapped.out")
  buffers=$(value buffers "$work/mapped.out")
  position=$(value position "$work/mapped.out")
  headset=$(value headset_bytes "$work/mapped.report")
  # Converted: four times the bytes at the headset; the resampler holds back
  # a few frames at the end of the stream.
  awk -v w="$written" -v b="$buffers" -v p="$position" -v h="$headset" 'BEGIN {
    if (p > b || p < b * 0.99) exit 1
    if (h > 4 * w || h < 4 * w * 0.99) exit 1 }' || fail "mapped: written $written, position $position, headset $headset"
else
  # No conversion: the mapper refuses what the device refuses.
  EXPECT=2 run mapped "$work/tone/tone" 22050 1
  grep -q "^waveOutOpen: 32," "$work/mapped.out" || fail "mapped: waveOutOpen did not answer WAVERR_BADFORMAT"
  [ "$(value headset_bytes "$work/mapped.report")" = 0 ] || fail "mapped: the headset got audio"
fi

# shellcheck disable=SC2046
"$cxx" -o "$work/tone-pc" "$src/examples/tone/tone.cpp" $(pkg-config --cflags --libs cehost)
run pkgconfig "$work/tone-pc"
[ "$(value headset_bytes "$work/pkgconfig.report")" = "$(value written "$work/pkgconfig.out")" ] ||
  fail "pkg-config build: the headset did not get what was written"

# A sanitizer build of the SDK carries its compiler's runtime and that
# compiler's link flags, which the other compiler cannot share: there the
# other compiler compiles the programs, and builds and runs them in the build
# of its own compiler.
sanitized=0
pkg-config --libs cehost | grep -q -- -fsanitize && sanitized=1
case "$("$cxx" --version)" in *clang*) family=clang ;; *) family=gcc ;; esac
# A cross build's SDK is built for by the compilers its cehost.pc names.
pairs=("gcc g++" "clang-14 clang++-14")
if [ ${#toolchain[@]} -gt 0 ]; then
  pairs=("$(pkg-config --variable=cc cehost) $(pkg-config --variable=cxx cehost)")
fi
for pair in "${pairs[@]}"; do
  set -- $pair
  cc_=$1 cxx_=$2
  tag=$(basename "$cc_")
  tag=${tag%%-*}
  if [ $sanitized = 1 ] && [ "$tag" != "$family" ]; then
    # shellcheck disable=SC2046
    "$cc_" -Wall -Wextra -Werror -c -o "$work/tone_c-$tag.o" "$src/examples/tone_c/tone_c.c" $(pkg-config --cflags cehost) ||
      fail "$cc_ cannot compile examples/tone_c"
    # shellcheck disable=SC2046
    "$cxx_" -Wall -Wextra -Werror -c -o "$work/include_only-$tag.o" "$src/tests/sdk/include_only.cpp" \
      $(pkg-config --cflags cehost) || fail "$cxx_ cannot compile tests/sdk/include_only.cpp"
    echo "example_test: compiled by $tag; built and run in the $tag build"
    continue
  fi
  # shellcheck disable=SC2046
  "$cc_" -Wall -Wextra -Werror -o "$work/tone_c-$tag" "$src/examples/tone_c/tone_c.c" $(pkg-config --cflags --libs cehost) ||
    fail "$cc_ cannot build examples/tone_c"
  # shellcheck disable=SC2046
  "$cxx_" -Wall -Wextra -Werror -o "$work/include_only-$tag" "$src/tests/sdk/include_only.cpp" \
    $(pkg-config --cflags --libs cehost) || fail "$cxx_ cannot build tests/sdk/include_only.cpp"
  progs=(tone_c include_only)
  # Without the mapper's converter the C++ program's mono stream cannot play:
  # it is built only; tone_c plays what the device takes and says what the
  # mapper refused.
  [ "$converts" = 1 ] || progs=(tone_c)
  for prog in "${progs[@]}"; do
    name=$prog-$tag
    TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1}:suppressions=$src/tests/sdk/tsan.supp" \
      CEHOST_HEADSET="$work/$name.headset" run "$name" "$work/$name" "$work/$name.expected" >/dev/null
    [ -s "$work/$name.expected" ] || fail "$name wrote nothing to expect"
    if [ "$converts" = 1 ]; then
      ! grep -q "^refused" "$work/$name.out" || fail "$name: the mapper refused a stream"
    elif [ "$prog" = tone_c ]; then
      [ "$(grep "^refused" "$work/$name.out" | tr '\n' ' ')" = "refused 2 refused 3 refused 4 " ] ||
        fail "$name: without a converter the mapper must refuse streams 2, 3 and 4, and only those"
    fi
    cmp "$work/$name.headset" "$work/$name.expected" ||
      fail "$name: the headset did not get, byte for byte, what was played"
    echo "example_test: $name: $(stat -c %s "$work/$name.headset") bytes at the headset, as expected"
  done
done
echo "example_test: ok"
