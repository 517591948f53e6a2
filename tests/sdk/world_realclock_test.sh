#!/usr/bin/env bash
# The world's report of an application against the player's on the real
# clock: tests/sdk/world_play under `btwav-run` (no --fast) and the player
# with --refill event play the same 4 s sound with a link drop.  On the real
# clock the two runs cannot agree to the frame: the link's times are on the
# clock, the ticks fall where the timer puts them, and each tick is late by
# what the machine makes it.  So the gap the drop makes, the first sound and
# post to ear must agree within one tick period (where the link's change
# falls between two ticks) plus the tick lateness the two reports state.
# Other gaps (a tick late enough on a loaded machine to empty the headset)
# are named by the reports and left out of the comparison.
#
#   world_realclock_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
fail() { echo "world_realclock_test: $*" >&2; exit 1; }
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1}:suppressions=$src/tests/sdk/tsan.supp"

cmake --install "$build" --prefix "$prefix" >/dev/null
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
# shellcheck disable=SC2046
gcc -o "$work/world_play" "$src/tests/sdk/world_play.c" $(pkg-config --cflags --libs cehost)

python3 - "$work/sound.wav" "$work/sound.raw" <<'PY'
import math, struct, sys, wave
second = b"".join(struct.pack("<hh", int(8000 * math.sin(2 * math.pi * 440 * i / 44100)),
                              int(8000 * math.sin(2 * math.pi * 660 * i / 44100))) for i in range(44100))
pcm = second * 4
w = wave.open(sys.argv[1], "wb"); w.setnchannels(2); w.setsampwidth(2); w.setframerate(44100); w.writeframes(pcm); w.close()
open(sys.argv[2], "wb").write(pcm)
PY

world="--headset-buffer 150ms --link-down 1s --link-back 1.5s"
status=0
# shellcheck disable=SC2086
"$build/bin/btwav-play" --quiet --refill event $world --report "$work/player.json" "$work/sound.wav" \
  >"$work/player.txt" 2>&1 || status=$?
[ "$status" -eq 7 ] || { cat "$work/player.txt" >&2; fail "the player exited $status, not 7 (gaps)"; }
status=0
# shellcheck disable=SC2086
"$build/bin/btwav-run" $world --report "$work/run.json" -- "$work/world_play" "$work/sound.raw" \
  >"$work/run.txt" 2>&1 || status=$?
[ "$status" -eq 7 ] || { cat "$work/run.txt" >&2; fail "btwav-run world_play exited $status, not 7 (gaps)"; }
cat "$work/player.txt" "$work/run.txt"

python3 - "$work/player.json" "$work/run.json" <<'PY' || fail "the reports disagree beyond the ticks' lateness"
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
def link_gaps(j):
    return [g for g in j["headset"]["gaps"] if g["cause"].startswith("the link")]
gp, gr = link_gaps(p), link_gaps(r)
assert len(gp) == 1 and len(gr) == 1, (p["headset"]["gaps"], r["headset"]["gaps"])
for key in ("t", "seconds"):
    assert abs(gp[0][key] - gr[0][key]) <= tolerance, (key, gp[0][key], gr[0][key])
for key in ("start_latency", "post_to_ear_mean"):
    assert abs(p["headset"][key] - r["headset"][key]) <= tolerance, (key, p["headset"][key], r["headset"][key])
assert p["bytes_written"] == r["bytes_written"], (p["bytes_written"], r["bytes_written"])
PY
echo "world_realclock_test: passed"
