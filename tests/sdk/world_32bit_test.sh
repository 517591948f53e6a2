#!/usr/bin/env bash
# The world in a 32-bit SDK (x86 or ARM): examples/tone and examples/tone_c,
# built against this build's installed SDK by its own compilers, run under
# the build machine's runner (the native build's btwav-run), which starts
# them under the emulator the SDK's cehost.pc names; and the same programs
# built against the native build's 64-bit SDK under the same runner.  On the
# clock that moves by itself (--fast), with a link drop and interference,
# the two reports must be the same, gap for gap (count, start, length) and
# in every other figure of the listener, the headset and the link, and the
# heard audio the same bytes.  Only what the machine measures may differ:
# the wall and CPU time, the peak memory, the stand-in's delivery backlog
# (a thread's lag behind the posts), and the program's name.
#
#   world_32bit_test.sh BUILD_DIR SOURCE_DIR NATIVE_BUILD_DIR
#
# NATIVE_BUILD_DIR is a build of the native preset with its runner built;
# without one the test is skipped (exit 77), saying so.
set -euo pipefail
build=$1 src=$2 native=$3
fail() { echo "world_32bit_test: $*" >&2; exit 1; }
run=$native/bin/btwav-run
if [ ! -x "$run" ] || [ ! -e "$native/lib/libbtworld.so" ]; then
  echo "world_32bit_test: no native build with btwav-run and the world at $native (build the native preset first)"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$native" --prefix "$work/sdk64" >/dev/null
cmake --install "$build" --prefix "$work/sdk32" >/dev/null
[ -e "$work/sdk32/lib/libbtworld.so" ] || fail "the 32-bit install lacks lib/libbtworld.so"
pc() { PKG_CONFIG_PATH=$1/lib/pkgconfig pkg-config "${@:2}" cehost; }
cc32=$(pc "$work/sdk32" --variable=cc) cxx32=$(pc "$work/sdk32" --variable=cxx)
[ -n "$(pc "$work/sdk32" --variable=emulator)" ] || fail "the 32-bit SDK's cehost.pc names no emulator"
# shellcheck disable=SC2046
{
  g++ -o "$work/tone-64" "$src/examples/tone/tone.cpp" $(pc "$work/sdk64" --cflags --libs)
  gcc -o "$work/tone_c-64" "$src/examples/tone_c/tone_c.c" $(pc "$work/sdk64" --cflags --libs)
  "$cxx32" -o "$work/tone-32" "$src/examples/tone/tone.cpp" $(pc "$work/sdk32" --cflags --libs)
  "$cc32" -o "$work/tone_c-32" "$src/examples/tone_c/tone_c.c" $(pc "$work/sdk32" --cflags --libs)
} || fail "the examples do not build against both SDKs"
file -L "$work/tone-32" | grep -q "ELF 32-bit" || fail "tone-32 is not a 32-bit program"

# play NAME PROGRAM ARGS...: under the runner with a link drop and
# interference; the runner's exit status, its text and JSON reports and the
# heard audio are left in $work/NAME.*
world=(--fast --link-down 250ms --link-back 450ms --interference 100ms:200ms:50%)
play() {
  local name=$1; shift
  local status=0
  CEHOST_HEARD="$work/$name.wav" "$run" "${world[@]}" --sdk "$work/sdk32" --report "$work/$name.json" -- "$@" \
    >"$work/$name.txt" 2>"$work/$name.err" || status=$?
  echo "$status" >"$work/$name.status"
  grep -q "^Ran " "$work/$name.txt" || { cat "$work/$name.err" >&2; fail "$name: the runner printed no report"; }
}

for prog in tone tone_c; do
  args=()
  [ "$prog" = tone_c ] && args=("$work/$prog.expected")
  play "$prog-64" "$work/$prog-64" ${args[@]+"${args[@]}"}
  play "$prog-32" "$work/$prog-32" ${args[@]+"${args[@]}"}
  s64=$(cat "$work/$prog-64.status") s32=$(cat "$work/$prog-32.status")
  [ "$s64" = "$s32" ] || fail "$prog: the runner exited $s64 for the 64-bit program, $s32 for the 32-bit one"
  [ "$s32" = 7 ] || { cat "$work/$prog-32.txt" >&2; fail "$prog: the link drop's gap did not give exit 7 (got $s32)"; }
  # The text reports, but for the lines of what the machine measured and
  # the heading that names the program.
  machine='^(Ran |  wall time |  peak memory |  stand-in )'
  diff <(grep -Ev "$machine" "$work/$prog-64.txt") <(grep -Ev "$machine" "$work/$prog-32.txt") >&2 ||
    fail "$prog: the 32-bit program's report differs from the 64-bit one's (above)"
  python3 - "$work/$prog-64.json" "$work/$prog-32.json" <<'PY' || fail "$prog: the JSON reports differ (above)"
import json, sys
a, b = (json.load(open(p)) for p in sys.argv[1:3])
# What the machine measured, and the program's name: nothing else may differ.
machine = {"wall_seconds", "cpu_seconds", "peak_memory_kb", "program", "source", "outputs",
           "backlog_packets", "backlog_lag_ms"}
diffs = []
def walk(x, y, path):
    if isinstance(x, dict) and isinstance(y, dict):
        for k in sorted(set(x) | set(y)):
            if k in machine:
                continue
            if k not in x or k not in y:
                diffs.append(f"{path}.{k}: only in {'64' if k in x else '32'}-bit")
            else:
                walk(x[k], y[k], f"{path}.{k}")
    elif isinstance(x, list) and isinstance(y, list) and len(x) == len(y):
        for i, (u, v) in enumerate(zip(x, y)):
            walk(u, v, f"{path}[{i}]")
    elif x != y:
        diffs.append(f"{path}: 64-bit {x!r}, 32-bit {y!r}")
walk(a, b, "")
for d in diffs[:40]:
    print(d, file=sys.stderr)
gaps = b["headset"]["gaps"]
assert gaps, "no gap in the 32-bit report, though the link was down"
assert not diffs, f"{len(diffs)} differences"
print(f"{sys.argv[2]}: {len(gaps)} gaps, as the 64-bit run's: " +
      ", ".join(f"at {g['t']:.6f} s for {g['seconds']:.6f} s" for g in gaps))
PY
  cmp "$work/$prog-64.wav" "$work/$prog-32.wav" || fail "$prog: the heard audio differs"
  [ "$(stat -c %s "$work/$prog-32.wav")" -gt 44 ] || fail "$prog: the heard audio is empty"
  echo "world_32bit_test: $prog: the 32-bit report and heard audio equal the 64-bit run's"
done
echo "world_32bit_test: ok"
