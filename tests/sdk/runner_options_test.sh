#!/usr/bin/env bash
# The runner's registry options, as the player has them: --define (a build
# variable of the .reg file), --set (Sample, Timer or CacheLen, applied after
# the file) reach an unchanged program through CEHOST_DEFINE and CEHOST_SET
# and change its report; a bad value stops before the program runs; the
# player's options a program cannot be given are refused, each named with
# its reason, exit status 2.  The same variables set by hand: a bad one
# ends the program before main with exit status 2.  On the clock that moves
# by itself, so no wall-clock time counts.
#
#   runner_options_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "runner_options_test: $*" >&2; exit 1; }
cmake --install "$build" --prefix "$work/prefix" >/dev/null
# shellcheck disable=SC2046
g++ -o "$work/tone" "$src/examples/tone/tone.cpp" $(PKG_CONFIG_PATH=$work/prefix/lib/pkgconfig pkg-config --cflags --libs cehost)
run=$build/bin/btwav-run

# runs NAME ARGS...: the runner on tone, exit status in $status.
runs() {
  local name=$1; shift
  status=0
  "$run" --fast "$@" -- "$work/tone" >"$work/$name.out" 2>"$work/$name.err" || status=$?
}
field() { sed -n "s/^  $1 *//p" "$work/$2.out"; }
ticks() { field "tick interval" "$1" | sed -n 's/.*(\([0-9]*\) ticks)$/\1/p'; }

runs plain --allow all
[ "$status" = 0 ] || { cat "$work/plain.err" >&2; fail "tone alone exited $status"; }
field "driver config" plain | grep -q "Timer 20," || fail "the default tick is not 20 ms: $(field "driver config" plain)"

# --set Timer=10: the driver ticks every 10 ms, so twice as many ticks
# carry the same audio.
runs timer10 --allow all --set Timer=10
[ "$status" = 0 ] || { cat "$work/timer10.err" >&2; fail "--set Timer=10 exited $status"; }
field "driver config" timer10 | grep -q "Timer 10," || fail "--set Timer=10 did not reach the driver"
t20=$(ticks plain) t10=$(ticks timer10)
[ -n "$t20" ] && [ -n "$t10" ] && [ "$t10" -ge $((2 * t20 - 4)) ] ||
  fail "--set Timer=10: $t10 ticks against $t20 at 20 ms, not about twice as many"
grep -q "mean 12\.\|mean 1[01]\." <<<"$(field "tick interval" timer10)" ||
  fail "--set Timer=10: tick interval $(field "tick interval" timer10)"

# --define: a variable the .reg file's IF block follows; --set after the
# file overrides it, with the name in any case as the player takes it.
printf '[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\WAVKELVO\\Params]\nIF SHORT_TICKS\n   "Timer"=dword:5\nENDIF\n' \
  >"$work/board.reg"
runs undefined --allow all --reg "$work/board.reg"
field "driver config" undefined | grep -q "Timer 20," || fail "the IF block applied without its variable"
runs defined --allow all --reg "$work/board.reg" --define SHORT_TICKS
field "driver config" defined | grep -q "Timer 5," || fail "--define SHORT_TICKS did not reach the .reg file"
runs overridden --allow all --reg "$work/board.reg" --define SHORT_TICKS=1 --set timer=0x1e
field "driver config" overridden | grep -q "Timer 30," || fail "--set did not override the .reg file's value"

# Refused before the program runs: a bad value, and the player's own options.
for bad in "--set Timer=abc" "--set Volume=3" "--define 9LIVES" "--fault post" "--timer-lateness p50:1ms" \
           "--buffers 8" "--pause 100ms:100ms"; do
  read -r -a words <<<"$bad"
  runs refused "${words[@]}"
  [ "$status" = 2 ] || fail "'$bad' exited $status, not 2"
  grep -q -- "${words[0]}" "$work/refused.err" || { cat "$work/refused.err" >&2; fail "'$bad' is not named"; }
  grep -q "^Ran \|^written" "$work/refused.out" && fail "the program ran with '$bad'"
done
runs refused --define "LABEL=two words"
[ "$status" = 2 ] && grep -q "cannot be passed" "$work/refused.err" || fail "a --define value with a blank passed"
runs refused --fault post
grep -q "no variable for it" "$work/refused.err" || fail "--fault's refusal does not say why"
runs refused --buffers 8
grep -q "the player's own application's" "$work/refused.err" || fail "--buffers' refusal does not say why"

# The variables by hand: applied, or the program stopped before main.
CEHOST_CLOCK=virtual-auto CEHOST_SET="CacheLen=4096 Timer=10" CEHOST_WORLD="" CEHOST_REPORT="$work/hand.txt" \
  "$work/tone" >"$work/hand.out" 2>&1 || true
grep -q "Timer 10, CacheLen 4096" "$work/hand.txt" || { cat "$work/hand.out" >&2; fail "CEHOST_SET was not applied"; }
for var in "CEHOST_SET=Timer" "CEHOST_DEFINE=a-b"; do
  status=0
  env CEHOST_CLOCK=virtual-auto "$var" "$work/tone" >"$work/badvar.out" 2>&1 || status=$?
  [ "$status" = 2 ] || { cat "$work/badvar.out" >&2; fail "$var: exit $status, not 2"; }
  grep -q "cehost: ${var%%=*}: " "$work/badvar.out" || { cat "$work/badvar.out" >&2; fail "$var is not named"; }
  grep -q "^written" "$work/badvar.out" && fail "the program ran with $var"
done
echo "runner_options_test: ok"
