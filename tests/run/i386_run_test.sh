#!/usr/bin/env bash
# How cmake/i386-run chooses between the kernel and qemu-i386: a probe that
# the kernel refuses (as a kernel without IA32 emulation refuses every i386
# program) sends programs to qemu-i386; a probe that runs keeps them native;
# BTWAV_I386_RUN forces either way and refuses other words.  Then a real
# i386 program runs both ways.
#
#   i386_run_test.sh SOURCE_DIR
set -euo pipefail
run=$1/cmake/i386-run
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "i386_run_test: $*" >&2; exit 1; }
expect() {  # expect WORDS ENV... : --which under ENV must print WORDS
  local want=$1; shift
  local got
  got=$(env "$@" "$run" --which) || fail "--which failed under $*"
  [ "$got" = "$want" ] || fail "under $*: '$got', expected '$want'"
}

# An ELF header for a machine no kernel here runs: execve refuses it with
# ENOEXEC, as an IA32-less kernel refuses the i386 loader.
printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000\002\000\377\377' >"$work/refused"
chmod +x "$work/refused"
expect "under qemu-i386 (this kernel cannot run i386 programs)" BTWAV_I386_PROBE="$work/refused"
printf '#!/bin/sh\nexit 0\n' >"$work/runs"
chmod +x "$work/runs"
expect "natively (this kernel runs i386 programs)" BTWAV_I386_PROBE="$work/runs"
expect "under qemu-i386 (forced by BTWAV_I386_RUN=qemu)" BTWAV_I386_RUN=qemu BTWAV_I386_PROBE="$work/runs"
expect "natively (forced by BTWAV_I386_RUN=native)" BTWAV_I386_RUN=native BTWAV_I386_PROBE="$work/refused"

status=0
BTWAV_I386_RUN=emulated "$run" --which 2>"$work/err" || status=$?
[ "$status" = 2 ] || fail "an unknown BTWAV_I386_RUN exited with $status, expected 2"
grep -q "it takes auto, native or qemu" "$work/err" || fail "an unknown BTWAV_I386_RUN said: $(cat "$work/err")"
status=0
BTWAV_I386_PROBE="$work/missing" "$run" --which 2>"$work/err" || status=$?
[ "$status" = 127 ] || fail "a missing i386 loader exited with $status, expected 127"
grep -q "libc6:i386" "$work/err" || fail "a missing i386 loader said: $(cat "$work/err")"

# A real i386 program, its arguments and its exit status, both ways; the
# native way only where this kernel runs i386 programs.
for how in qemu native; do
  if [ $how = native ] && ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
    echo "i386_run_test: this kernel cannot run i386 programs; the native way is not tried"
    continue
  fi
  out=$(BTWAV_I386_RUN=$how "$run" /lib/ld-linux.so.2 --version) || fail "the i386 loader failed $how"
  grep -q "ld.so" <<<"$out" || fail "the i386 loader printed under $how: $out"
  status=0
  BTWAV_I386_RUN=$how "$run" /lib/ld-linux.so.2 /nonexistent-program 2>/dev/null || status=$?
  [ "$status" = 127 ] || fail "a failing i386 program's status under $how was $status, expected 127"
done
echo "i386_run_test: passed"
