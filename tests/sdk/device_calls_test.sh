#!/usr/bin/env bash
# A device application's sound back end written under "#if defined _WIN32"
# (tests/sdk/device_calls.c), against this build's installed SDK: built as
# C89 and C++ with UNICODE and as C99 without it, by the compilers cehost.pc
# names, with nothing but its flags and warnings as errors.  Built with the
# SDK's macros left out (--define-variable=platform_macros=, or in CMake the
# target property CEHOST_NO_PLATFORM_MACROS) the back end is compiled away
# and the program must not link.  Each build runs on the real
# clock (a cross build's program under its emulator) with its files under a
# root of its own and the alias Chime in the registry; every check must
# pass, MessageBox must have told its text, and the headset must have
# received the sounds in the order the program played them.
#
#   device_calls_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

fail() { echo "device_calls_test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
cc=$(pkg-config --variable=cc cehost)
cxx=$(pkg-config --variable=cxx cehost)
read -r -a emulator <<<"$(pkg-config --variable=emulator cehost)"
read -r -a flags <<<"$(pkg-config --cflags --libs cehost)"
read -r -a bare <<<"$(pkg-config --define-variable=platform_macros= --cflags --libs cehost)"
strict=(-Wall -Wextra -Werror)
c_strict=("${strict[@]}" -Werror=incompatible-pointer-types -Werror=int-conversion -Werror=implicit-function-declaration)
source=$(cd "$src" && pwd)/tests/sdk/device_calls.c

build_one() {
  local name=$1; shift
  "$@" -o "$work/$name" "${flags[@]}" 2>"$work/$name.log" || { cat "$work/$name.log" >&2; fail "$name does not build"; }
}
build_one c89 "$cc" -std=c89 "${c_strict[@]}" -DUNICODE -D_UNICODE "$source"
build_one c99 "$cc" -std=c99 "${c_strict[@]}" "$source"
build_one cxx "$cxx" -x c++ "${strict[@]}" -DUNICODE -D_UNICODE "$source" -x none

# Without the macros the back end is not compiled: the link fails on it,
# rather than the program running without its sound.
if "$cc" -std=c99 -o "$work/bare" "$source" "${bare[@]}" 2>"$work/bare.log"; then
  fail "built without the platform's macros, the back end still linked"
fi
grep -q "RunBackEnd" "$work/bare.log" || { cat "$work/bare.log" >&2; fail "the bare build failed for another reason"; }

# The same through the CMake package: cehost::app brings the macros, and the
# target property CEHOST_NO_PLATFORM_MACROS leaves them out.
mkdir -p "$work/cmake"
cat >"$work/cmake/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.22)
project(device_calls C)
find_package(cehost REQUIRED)
add_executable(with "$source")
target_link_libraries(with PRIVATE cehost::app)
add_executable(bare "$source")
target_link_libraries(bare PRIVATE cehost::app)
set_target_properties(bare PROPERTIES CEHOST_NO_PLATFORM_MACROS ON)
CMAKE
toolchain=()
if [ -e "$prefix/lib/cmake/cehost/toolchain.cmake" ]; then
  toolchain=(-DCMAKE_TOOLCHAIN_FILE="$prefix/lib/cmake/cehost/toolchain.cmake")
fi
cmake -S "$work/cmake" -B "$work/cmake/build" -G Ninja ${toolchain[@]+"${toolchain[@]}"} -DCMAKE_C_COMPILER="$cc" \
      -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake/build" --target with >"$work/cmake.log" 2>&1 || { cat "$work/cmake.log" >&2; fail "the CMake build does not build"; }
if cmake --build "$work/cmake/build" --target bare >"$work/cmake-bare.log" 2>&1; then
  fail "CEHOST_NO_PLATFORM_MACROS left the macros in"
fi
grep -q "RunBackEnd" "$work/cmake-bare.log" || { cat "$work/cmake-bare.log" >&2; fail "the CMake bare build failed for another reason"; }

for name in c89 c99 cxx; do
  root=$work/root-$name
  mkdir -p "$root/Sounds"
  printf '[HKEY_CURRENT_USER\\ControlPanel\\Sounds\\Chime]\n"Sound"="\\\\Sounds\\\\alias.wav"\n' >"$work/$name.reg"
  status=0
  CEHOST_CLOCK=real CEHOST_ROOT="$root" CEHOST_REG="$work/$name.reg" CEHOST_HEADSET="$work/$name.headset" \
    ${emulator[@]+"${emulator[@]}"} "$work/$name" >"$work/$name.out" 2>"$work/$name.err" || status=$?
  cat "$work/$name.out"
  [ "$status" = 0 ] || { cat "$work/$name.err" >&2; fail "$name exited with $status"; }
  grep -qx "MessageBox: device_calls: sounds played" "$work/$name.err" || fail "$name: MessageBox told nothing"
  python3 - "$root/Sounds" "$work/$name.headset" <<'PY' || fail "$name: the headset did not get the sounds in order"
import sys
folder, headset = sys.argv[1], open(sys.argv[2], 'rb').read()
tone, chime, alias = (open(f'{folder}/{n}.wav', 'rb').read()[44:] for n in ('tone', 'chime', 'alias'))
# SND_SYNC file, SND_MEMORY, SND_ALIAS, each whole and in order.
head = tone + chime + alias
assert headset.startswith(head), 'the three synchronous sounds'
# sndPlaySound's SND_SYNC tone.wav, whole, at the end.
assert headset.endswith(tone) and len(headset) >= len(head) + len(tone), 'the last synchronous sound'
middle = headset[len(head):len(headset) - len(tone)]
# The loop: tone.wav repeated, more than once, until the purge.
loop = 0
while loop < len(middle) and middle[loop] == tone[loop % len(tone)]:
    loop += 1
loop -= loop % 4
assert loop > len(tone), f'the looped sound repeated ({loop} bytes of {len(tone)})'
# Then as much of alias.wav as played before the next sound stopped it.
rest = middle[loop:]
assert alias.startswith(rest), f'the stopped asynchronous sound ({len(rest)} bytes)'
print(f'headset: {len(head)} + loop {loop} + stopped {len(rest)} + {len(tone)} bytes')
PY
done
echo "device_calls_test: ok"
