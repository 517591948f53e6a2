#!/usr/bin/env bash
# scripts/fast-repeat: repeated runs of one setting agree and say so (exit 0);
# reports of two settings are two outcomes, with the figures that differ
# named (exit 1); a command line that gives neither is a usage error (2).
set -uo pipefail
build=$1
src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "fast_repeat_test: $*" >&2; exit 1; }
tool=("python3" "$src/scripts/fast-repeat")
player="$build/bin/btwav-play"

out=$("${tool[@]}" --runs 3 --jobs 2 --player "$player" --keep "$work/same" -- --length 300ms) || fail "3 runs of one setting: exit $? ($out)"
grep -q '^3 runs, 1 outcome$' <<<"$out" || fail "3 runs of one setting: $out"
[ -s "$work/same/r3.json" ] || fail "the reports are not kept in --keep"

"$player" --fast -q --length 300ms --report "$work/a.json" >/dev/null || fail "the player's run of 20 ms ticks failed"
status=0
"$player" --fast -q --length 300ms --set Timer=40 --report "$work/b.json" >/dev/null || status=$?
[ -s "$work/b.json" ] || fail "the player's run of 40 ms ticks wrote no report (exit $status)"
status=0
out=$("${tool[@]}" --reports "$work/a.json" "$work/same/r1.json" "$work/b.json") || status=$?
[ "$status" -eq 1 ] || fail "two settings: exit $status, not 1 ($out)"
grep -q '^3 runs, 2 outcomes$' <<<"$out" || fail "two settings: $out"
grep -q '^  2 x ' <<<"$out" || fail "the two runs of one setting are not one outcome: $out"
grep -q '^    ticks.count: ' <<<"$out" || fail "the tick count that differs is not named: $out"

status=0
"${tool[@]}" --runs 2 >/dev/null 2>&1 || status=$?
[ "$status" -eq 2 ] || fail "no player arguments and no reports: exit $status, not 2"
echo "fast_repeat_test: passed"
