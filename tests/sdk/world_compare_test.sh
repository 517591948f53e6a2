#!/usr/bin/env bash
# The world's report of an application against the player's, on the
# virtual clock: tests/sdk/world_play (built against the installed SDK, its
# buffers and refill as the player's with --refill event, moving the clock
# itself a timer period a step as the player's fast mode does) plays a 60 s
# sound with CEHOST_WORLD set; the player plays the same sound with --fast
# and the same world options.  The headset's figures (gaps, start latency,
# post to ear, write to ear, levels) must be equal to the frame, and the
# heard audio equal byte for byte; two runs of the program give the same
# report.  Then the same program, unchanged, under `btwav-run --fast`: on
# the clock that moves by itself it only waits for its event, and its
# report and heard audio must equal the player's the same way.  Last, the
# same program and the player on the real clock, within the ticks' lateness.
#
#   world_compare_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
fail() { echo "world_compare_test: $*" >&2; exit 1; }
# world_play looks at WHDR_DONE in the headers the driver completes, as the
# platform's applications do (see tsan.supp).
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1}:suppressions=$src/tests/sdk/tsan.supp"

cmake --install "$build" --prefix "$prefix" >/dev/null
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
# shellcheck disable=SC2046
gcc -o "$work/world_play" "$src/tests/sdk/world_play.c" $(pkg-config --cflags --libs cehost)

# A two-tone chord in the device's format, as WAV for the player and raw for
# the program: 60 s for the virtual clock, 4 s for the real one.
chord() {
  python3 - "$1" "$2" "$3" <<'PY'
import math, struct, sys, wave
# One second, repeated: 440 and 660 Hz fit it whole.
second = b"".join(struct.pack("<hh", int(8000 * math.sin(2 * math.pi * 440 * i / 44100)),
                              int(8000 * math.sin(2 * math.pi * 660 * i / 44100))) for i in range(44100))
pcm = second * int(sys.argv[3])
w = wave.open(sys.argv[1], "wb"); w.setnchannels(2); w.setsampwidth(2); w.setframerate(44100); w.writeframes(pcm); w.close()
open(sys.argv[2], "wb").write(pcm)
PY
}
chord "$work/sound.wav" "$work/sound.raw" 60

world="--headset-buffer 150ms --link-down 20s --link-back 20.5s --interference 10s:5s:60%"
# The link drop loses what the driver posted while it was down and the
# listener hears its gaps: the player says so with its exit status, 7 (gaps),
# which is what this run is for.
status=0
# shellcheck disable=SC2086
"$build/bin/btwav-play" --fast --quiet --refill event $world --heard "$work/player.wav" --report "$work/player.json" \
  "$work/sound.wav" >"$work/player.txt" 2>&1 || status=$?
[ "$status" -eq 7 ] || { cat "$work/player.txt" >&2; fail "the player exited $status, not 7 (gaps)"; }
for n in 1 2; do
  CEHOST_CLOCK=virtual CEHOST_WORLD="$world" CEHOST_HEARD="$work/app$n.wav" CEHOST_REPORT_JSON="$work/app$n.json" \
  CEHOST_REPORT="$work/app$n.txt" "$work/world_play" "$work/sound.raw" >"$work/app$n.out" 2>&1 ||
    { cat "$work/app$n.out" >&2; fail "world_play failed"; }
done
cat "$work/player.txt" "$work/app1.txt"

status=0
# shellcheck disable=SC2086
"$build/bin/btwav-run" --fast $world --heard "$work/run.wav" --report "$work/run.json" -- "$work/world_play" \
  "$work/sound.raw" >"$work/run.out" 2>&1 || status=$?
[ "$status" -eq 7 ] || { cat "$work/run.out" >&2; fail "btwav-run --fast world_play exited $status, not 7 (gaps)"; }

python3 - "$work/player.json" "$work/app1.json" "$work/app2.json" "$work/run.json" <<'PY' || fail "the reports differ"
import json, sys
p, a, b, run = (json.load(open(f)) for f in sys.argv[1:5])
for other in (run, a):
    hp, ha = p["headset"], other["headset"]
    for key in ("started", "start_latency", "sink_delay", "write_to_ear_mean", "app_queued_mean", "played_frames",
                "silent_frames", "concealed_frames", "dropped_bytes", "gap_seconds", "min_level_frames",
                "max_level_frames", "post_to_ear_mean", "post_to_ear_max", "gaps", "overflows"):
        assert hp.get(key) == ha.get(key), (key, hp.get(key), ha.get(key))
    assert hp["gaps"], "the link drop made no gap"
    # The link's and the radio's figures too, but how far the stand-in's
    # delivery thread fell behind (this machine's scheduling, below).
    lp, la = dict(p["link"]), dict(other["link"])
    for j in (lp, la):
        j.pop("backlog_lag_ms", None)
        j.pop("backlog_packets", None)
    assert lp == la, (lp, la)
    assert p["bytes_written"] == other["bytes_written"], (p["bytes_written"], other["bytes_written"])
# Two runs of the program: the same report but for the time it took and
# how far the stand-in's delivery thread fell behind the posts (this
# machine's scheduling, not the model's: the player's own runs differ there).
for j in (a, b):
    for key in ("wall_seconds", "cpu_seconds", "peak_memory_kb", "outputs"):
        j.pop(key, None)
    for key in ("backlog_lag_ms", "backlog_packets"):
        j["link"].pop(key, None)
def flat(j, at=""):
    if isinstance(j, dict):
        for k, v in j.items():
            yield from flat(v, at + "/" + k)
    else:
        yield at, j
fa, fb = dict(flat(a)), dict(flat(b))
differ = sorted(k for k in fa.keys() | fb.keys() if fa.get(k) != fb.get(k))
assert not differ, "two runs of the program gave different reports: " + ", ".join(differ)
PY
cmp <(tail -c +45 "$work/player.wav") <(tail -c +45 "$work/app1.wav") || fail "the heard audio differs"
cmp <(tail -c +45 "$work/player.wav") <(tail -c +45 "$work/run.wav") || fail "the heard audio differs under btwav-run --fast"

# The same program under `btwav-run` on the real clock against the player:
# the two cannot agree to the frame there (the link's times are on the clock,
# the ticks fall where the timer puts them, each late by what the machine
# makes it), so the link drop's gap (from the moments each report says the
# link went down and came back), the first sound and post to ear must
# agree within one tick period (where the link's change falls between two
# ticks) plus the tick lateness the two reports state.  Other gaps (a tick
# late enough on a loaded machine to empty the headset) are named by the
# reports and left out of the comparison.
chord "$work/short.wav" "$work/short.raw" 4
real_world="--headset-buffer 150ms --link-down 1s --link-back 1.5s"
status=0
# shellcheck disable=SC2086
"$build/bin/btwav-play" --quiet --refill event $real_world --report "$work/real-player.json" "$work/short.wav" \
  >"$work/real-player.txt" 2>&1 || status=$?
[ "$status" -eq 7 ] || { cat "$work/real-player.txt" >&2; fail "real clock: the player exited $status, not 7 (gaps)"; }
status=0
# shellcheck disable=SC2086
"$build/bin/btwav-run" $real_world --report "$work/real-run.json" -- "$work/world_play" "$work/short.raw" \
  >"$work/real-run.txt" 2>&1 || status=$?
[ "$status" -eq 7 ] || { cat "$work/real-run.txt" >&2; fail "real clock: btwav-run world_play exited $status, not 7 (gaps)"; }
cat "$work/real-player.txt" "$work/real-run.txt"

python3 - "$work/real-player.json" "$work/real-run.json" <<'PY' || fail "real clock: the reports disagree beyond the ticks' lateness"
import json, sys
p, r = (json.load(open(f)) for f in sys.argv[1:3])
for j in (p, r):
    assert j["clock"] == "real", j["clock"]
    assert j["ticks"]["observed"], "no tick lateness observed"
period = p["config"]["Timer"] / 1000.0
assert period == r["config"]["Timer"] / 1000.0
late = max(p["ticks"]["lateness_ms"]["max"], r["ticks"]["lateness_ms"]["max"]) / 1000.0
tolerance = period + late
print(f"tolerance {tolerance * 1000:.3f} ms (period {period * 1000:.0f} ms, lateness up to {late * 1000:.3f} ms)")
def link_window(j):
    # When the world really took the link down and brought it back (on a
    # loaded machine its own thread may act a little after 1 s and 1.5 s).
    down = next(e["t"] for e in j["events"] if e["what"].startswith("link down"))
    back = next(e["t"] for e in j["events"] if e["what"].startswith("link back up"))
    return down, back
def link_gap(j):
    # The gap the drop makes begins while the link is down; a late tick may
    # make others later.
    down, back = link_window(j)
    gaps = [g for g in j["headset"]["gaps"] if down <= g["t"] <= back]
    assert len(gaps) == 1, (down, back, j["headset"]["gaps"])
    # Its start after the drop and its end after the link came back.
    return {"after the drop": gaps[0]["t"] - down, "after the return": gaps[0]["t"] + gaps[0]["seconds"] - back}
gp, gr = link_gap(p), link_gap(r)
for key in gp:
    assert abs(gp[key] - gr[key]) <= tolerance, (key, gp[key], gr[key])
for key in ("start_latency", "post_to_ear_mean"):
    assert abs(p["headset"][key] - r["headset"][key]) <= tolerance, (key, p["headset"][key], r["headset"][key])
assert p["bytes_written"] == r["bytes_written"], (p["bytes_written"], r["bytes_written"])
PY
echo "world_compare_test: passed"
