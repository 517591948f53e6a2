#!/usr/bin/env bash
# An unchanged application in the world: examples/tone, built against the
# installed SDK, run with CEHOST_WORLD (a headset buffer, a link drop and
# interference) and the report's outputs.  What it must show, from the
# SDK's page: the two lines CEHOST_REPORT always had, then the player's
# report of the run (the link's events at their times, the listener, the
# latency), the same report as JSON with the program's name, the plot as
# SVG and the heard audio as WAV; a world option that is not one is a
# one-line error before main, with exit status 2.  The real clock: tone
# waits on its event and Sleeps, which only the real clock moves.
#
#   world_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
fail() { echo "world_test: $*" >&2; exit 1; }
# Under ThreadSanitizer tone_c's two loops that poll WHDR_DONE are excused,
# as in the SDK's example test (tests/sdk/tsan.supp says why).
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1}:suppressions=$src/tests/sdk/tsan.supp"

cmake --install "$build" --prefix "$prefix" >/dev/null
[ -e "$prefix/lib/libbtworld.so" ] || fail "the install lacks lib/libbtworld.so"
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
# shellcheck disable=SC2046
g++ -o "$work/tone" "$src/examples/tone/tone.cpp" $(pkg-config --cflags --libs cehost)

CEHOST_CLOCK=real \
CEHOST_WORLD="--headset-buffer 150ms --link-delay 50ms --link-down 250ms --link-back 450ms --interference 100ms:200ms:50%" \
CEHOST_REPORT="$work/r.txt" CEHOST_REPORT_JSON="$work/r.json" CEHOST_PLOT="$work/r.svg" CEHOST_HEARD="$work/heard.wav" \
  "$work/tone" >"$work/out" 2>&1 || { cat "$work/out" >&2; fail "tone failed in the world"; }
cat "$work/r.txt"

# The lines the report always had come first, as they did.
head -1 "$work/r.txt" | grep -Eq '^packets [0-9]+$' || fail "the report's first line is not 'packets N'"
sed -n 2p "$work/r.txt" | grep -Eq '^headset_bytes [0-9]+$' || fail "the report's second line is not 'headset_bytes N'"
grep -q "Ran .*tone in the world" "$work/r.txt" || fail "no heading naming the program"
grep -Eq 'event +-0\.[0-9]+ s  link up, preferred device 1' "$work/r.txt" || fail "no link up before the first write"
grep -Eq 'event +0\.2[5-9][0-9] s  link down, preferred device 0' "$work/r.txt" || fail "no link down at 250 ms"
grep -Eq 'event +0\.4[5-9][0-9] s  link back up, preferred device 1' "$work/r.txt" || fail "no link back at 450 ms"
grep -q "interference at 0.100 s for 0.200 s took 50%" "$work/r.txt" || fail "no interference in the radio's line"
grep -q "buffer 150 ms" "$work/r.txt" || fail "the headset's buffer is not the one asked for"
grep -Eq '^  listener +heard ' "$work/r.txt" || fail "no listener line"
grep -Eq '^  latency +first write to first sound' "$work/r.txt" || fail "no latency line"
grep -q "bit-exact" "$work/r.txt" && fail "an application's report judges bit-exactness"

python3 - "$work/r.json" "$work/r.txt" <<'PY' || fail "the JSON report does not agree with the text"
import json, re, sys
j = json.load(open(sys.argv[1]))
text = open(sys.argv[2]).read()
assert j["program"].endswith("tone"), j["program"]
assert j["program_exit"] == -1
written = int(re.search(r"bytes written +(\d+)", text).group(1))
assert j["bytes_written"] == written, (j["bytes_written"], written)
headset = int(re.search(r"^headset_bytes (\d+)$", text, re.M).group(1))
assert j["bytes_received"] == headset
PY
head -c 200 "$work/r.svg" | grep -q "<svg" || fail "the plot is not SVG"
[ "$(head -c 4 "$work/heard.wav")" = RIFF ] || fail "the heard audio is not a WAV file"
[ "$(stat -c %s "$work/heard.wav")" -gt 44 ] || fail "the heard audio is empty"

# A world option that is not one: an error naming it, before main.
status=0
CEHOST_CLOCK=real CEHOST_WORLD="--headset-buffer 150ms --buffers 8" "$work/tone" >"$work/bad" 2>&1 || status=$?
[ "$status" = 2 ] || { cat "$work/bad" >&2; fail "a bad CEHOST_WORLD exited with $status, not 2"; }
grep -q "cehost: CEHOST_WORLD: '--buffers' is not an option of the world" "$work/bad" ||
  { cat "$work/bad" >&2; fail "a bad CEHOST_WORLD is not named"; }
grep -q "written" "$work/bad" && fail "the program ran with a bad CEHOST_WORLD"
# The runner: the same program, unchanged, with the world's options on its
# command line; its report carries the program's exit status (0 here) and
# the listener's verdict, and the runner exits by the player's rules: the
# link drop's gap gives 7; --allow relaxes it.  examples/tone_c as well,
# whose first argument is a file.
run=$build/bin/btwav-run
status=0
"$run" --headset-buffer 150ms --link-down 250ms --link-back 450ms --report "$work/run.json" -- "$work/tone" \
  >"$work/run.out" 2>&1 || status=$?
[ "$status" = 7 ] || { cat "$work/run.out" >&2; fail "btwav-run tone with a link drop exited $status, not 7 (gaps)"; }
grep -Eq '^  verdict +NOT CLEAN: [0-9]+ gaps?' "$work/run.out" || { cat "$work/run.out" >&2; fail "no verdict line"; }
grep -Eq '^  program exit +0$' "$work/run.out" || { cat "$work/run.out" >&2; fail "no program exit in the runner's report"; }
grep -q "link down, preferred device 0" "$work/run.out" || fail "the runner's world has no link drop"
python3 -c 'import json,sys; j=json.load(open(sys.argv[1])); assert j["program_exit"] == 0 and j["verdict"]["code"] == 7' \
  "$work/run.json" || fail "the runner's JSON lacks program_exit 0 or verdict code 7"
# shellcheck disable=SC2046
gcc -o "$work/tone_c" "$src/examples/tone_c/tone_c.c" $(pkg-config --cflags --libs cehost)
"$run" --link-down 200ms --link-back 300ms --allow all -- "$work/tone_c" "$work/expected.pcm" >"$work/runc.out" 2>&1 ||
  { cat "$work/runc.out" >&2; fail "btwav-run tone_c failed"; }
grep -Eq '^  listener +heard ' "$work/runc.out" || fail "tone_c under the runner: no listener line"
status=0
"$run" --buffers 3 -- "$work/tone" >"$work/runbad" 2>&1 || status=$?
[ "$status" = 2 ] || fail "btwav-run with a player-only option exited with $status, not 2"
grep -q "option --buffers is the player's own application's" "$work/runbad" || fail "btwav-run does not name the option it refused"
# --fast: the same program on the clock that moves by itself.  The link's
# changes come at their exact times, and two runs give the same report but
# for the machine's own figures (wall and CPU time, memory, the stand-in's
# delivery backlog, which the sinks' thread sets).
for n in 1 2; do
  status=0
  "$run" --fast --link-down 250ms --link-back 450ms --report "$work/fast$n.json" -- "$work/tone" \
    >"$work/fast$n.out" 2>&1 || status=$?
  [ "$status" = 7 ] || { cat "$work/fast$n.out" >&2; fail "btwav-run --fast tone exited $status, not 7"; }
done
grep -q "0.250 s  link down" "$work/fast1.out" || { cat "$work/fast1.out" >&2; fail "--fast: no link drop at 0.250 s"; }
grep -q "0.450 s  link back up" "$work/fast1.out" || fail "--fast: the link does not come back at 0.450 s"
machine='wall time|peak memory|cpu|stand-in'
# With no world options tone's own loop writes late once: the driver's
# queue runs dry and the gap that follows is the application's, though the
# tick that finds the queue short comes only after the gap began.
"$run" --fast -- "$work/tone" >"$work/late.out" 2>&1 || true
grep -Eq "^  gap .*: the application's underrun" "$work/late.out" ||
  { cat "$work/late.out" >&2; fail "tone's late write: the gap is not named as the application's underrun"; }
diff <(grep -Ev "$machine" "$work/fast1.out") <(grep -Ev "$machine" "$work/fast2.out") ||
  fail "two --fast runs of tone gave different reports"
# A program that deadlocks is reported hung with both waits named, at once.
# shellcheck disable=SC2046
gcc -o "$work/deadlock" "$src/tests/sdk/deadlock.c" $(pkg-config --cflags --libs cehost)
status=0
"$run" --fast -- "$work/deadlock" >"$work/hung.out" 2>&1 || status=$?
[ "$status" = 124 ] || { cat "$work/hung.out" >&2; fail "a deadlocked program exited $status under --fast, not 124"; }
grep -q "hung" "$work/hung.out" || { cat "$work/hung.out" >&2; fail "no hung report"; }
grep -q "second" "$work/hung.out" && grep -q "first" "$work/hung.out" ||
  { cat "$work/hung.out" >&2; fail "the hung report does not name both events"; }
echo "world_test: passed"
