#!/usr/bin/env python3
"""Writes the seed corpus: scenarios in the fuzz target's operation encoding
(see steps.cpp, Session::Step).  Run from anywhere; writes fuzz/corpus/.
Inputs the fuzzer found that once broke an invariant are kept in the same
directory under names of their own (close_inside_open, reopen_during_reset,
reset_inside_open)."""
import os
import struct

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")

# Setup byte.
FAIL_INIT, FAIL_OPEN, WAVE_API, LINK_UP = 0x01, 0x02, 0x04, 0x08
TIMER_10, TIMER_5 = 0x10, 0x20

BEGIN, END, DONE, UNPREPARED, INQUEUE = 0x01, 0x02, 0x04, 0x08, 0x30
LOOPS = {0: 0, 1: 1, 2: 2, 3: 3, 5: 4, "inf": 5}
GOOD, NULL_DATA, UNMAPPED_DATA = 0x00, 0x08, 0x10


def advance(ms):
    return bytes([0, (ms - 1) // 3 % 128])


def write(i, out=None):
    return bytes([0x82, i]) + bytes([out]) if out is not None else bytes([2, i])


def write_bad_header(i, null):
    # (b & 0x78) == 0x68 selects the header's address; bit 7 null (0) or unmapped (1).
    return bytes([2, (0x68 | i) | (0 if null else 0x80)])


def write_bad_record(i, null):
    return bytes([2, 0x70 | i | (0 if null else 0x08)])


def prepare(i, length, flags=0, loops=0, data=GOOD):
    return bytes([4, i, flags]) + struct.pack("<H", length) + bytes([LOOPS[loops] | data])


PAUSE, RESTART, RESET, BREAKLOOP, CLOSE = bytes([6]), bytes([7]), bytes([8]), bytes([9]), bytes([12])


def getpos(mem=2, wtype=2):
    return bytes([10, (wtype << 3) | mem])


def open_(flags=0, callback=True, stereo=True):
    c = (0 if stereo else 0x40) | (0 if callback else 0x80)
    return bytes([11, flags | (0x20 if callback else 0), c])


def open_bad(desc_null=False, fmt_null=False):
    b, c = 0, 0
    if desc_null:
        b |= 0x38
    if fmt_null:
        b |= 0xC0
        c |= 0x00 << 3
    return bytes([11, b, c])


def caps(mem, size, extended=False):
    return bytes([13, mem | (0x80 if extended else 0), size])


def link(up):
    return bytes([14, 0 if up else 1])


def fault(kind, count=1, skip=0):
    # kind: 0 LocalAlloc, 1 malloc, 2 timer, 3 registry open, 4 registry query, 5 posts
    return bytes([15, kind | ((count - 1) << 3), skip])


def late(level):
    return bytes([16, level])


def react(on, reaction, arg=0, times=1):
    # on: 0 MM_WOM_DONE, 2 MM_WOM_OPEN, 3 MM_WOM_CLOSE; reaction: 0 write same,
    # 1 write other, 2 reset, 3 pause, 4 restart, 5 break-loop, 6 close, 7 position, 8 open,
    # 9 fault (only inside a reset)
    return bytes([17, on | (reaction << 2) | ((times - 1) << 6), arg])


def registry(which, value):
    return bytes([18, which, value])


def entry(b):
    return bytes([19, b << 1])


def raw(b, p1=0):
    return bytes([19, 1, b]) + struct.pack("<I", p1)


def scenario(setup, *ops):
    return bytes([setup]) + b"".join(ops)


S = {}
S["play"] = scenario(WAVE_API | LINK_UP, open_(), prepare(0, 4000), prepare(1, 3000), prepare(2, 5000),
                     write(0), write(1), write(2), advance(20), advance(40), getpos(), advance(100), CLOSE)
S["loops"] = scenario(LINK_UP, open_(), prepare(0, 1000, BEGIN, 3), prepare(1, 500), prepare(2, 700, END),
                      prepare(3, 900), write(0), write(1), write(2), write(3), advance(100), BREAKLOOP,
                      advance(200), prepare(4, 300, BEGIN | END, "inf"), write(4), advance(60), RESET, CLOSE)
S["transport"] = scenario(TIMER_10, open_(), prepare(0, 9000), write(0), advance(30), PAUSE, prepare(1, 100),
                          write(1), advance(50), RESTART, advance(20), PAUSE, RESET, getpos(2, 4), advance(30))
S["faults"] = scenario(FAIL_INIT | WAVE_API, open_(), fault(1, 2, 1), fault(5, 3), prepare(0, 8000),
                       write(0), advance(100), fault(2, 1), RESET, fault(3, 1), fault(4, 2), prepare(1, 2000),
                       write(1), advance(40), fault(0, 1), entry(0), advance(100))
S["bad_records"] = scenario(LINK_UP, open_bad(desc_null=True), open_bad(fmt_null=True), open_(1), open_(8),
                            open_(), write_bad_header(0, True), write_bad_header(1, False),
                            write_bad_record(0, True), write_bad_record(0, False), write(0, out=0),
                            caps(0, 84), caps(1, 84), caps(2, 30), caps(2, 20, True), caps(0, 28, True),
                            getpos(0), getpos(1), raw(0x40 | 0x00), raw(0x80 | 5), raw(3, 0xDEADBEEF),
                            entry(2), entry(3))
S["unreadable"] = scenario(LINK_UP, open_(), prepare(0, 1000), prepare(1, 8, data=UNMAPPED_DATA),
                           prepare(2, 600, data=NULL_DATA), prepare(3, 1000), write(0), write(1), write(2),
                           write(3), advance(20), advance(20), prepare(4, 500, BEGIN, 2, UNMAPPED_DATA),
                           prepare(5, 500, END), write(4), write(5), advance(100), CLOSE)
S["reentry"] = scenario(LINK_UP | WAVE_API, open_(), react(0, 0, 0, 4), prepare(0, 2000), prepare(1, 2000),
                        write(0), write(1), advance(200), react(0, 2), advance(20), react(3, 1, 2),
                        prepare(2, 500), RESET, CLOSE, open_(), react(2, 1, 3), open_(), prepare(3, 100),
                        react(0, 6), write(3), advance(40))
S["close_write"] = scenario(LINK_UP, open_(), prepare(0, 4000), react(3, 1, 0), CLOSE, advance(100),
                            open_(), react(3, 8), CLOSE, write(0), advance(60))
S["link"] = scenario(WAVE_API, link(True), open_(), prepare(0, 6000), write(0), advance(20), link(False),
                     advance(20), link(True), advance(20), CLOSE, link(False), prepare(1, 200), link(True),
                     bytes([14, 4]), bytes([14, 6]))
S["late_registry"] = scenario(TIMER_5, registry(0, 1), registry(2, 1), registry(1, 2), open_(), late(2),
                              prepare(0, 7000), prepare(1, 7000), write(0), write(1), advance(150), late(3),
                              advance(200), registry(1, 4 | 0x10), registry(2, 0x18), registry(0, 4),
                              prepare(2, 3000), write(2), advance(100))
S["open_drops"] = scenario(0, open_(callback=False), prepare(0, 3000), prepare(1, 3000), write(0), write(1),
                           advance(20), open_(), prepare(0, 100), write(0), advance(40), open_(stereo=False),
                           getpos(2, 1), getpos(2, 2), CLOSE)
S["reset_fault"] = scenario(LINK_UP, open_(), prepare(0, 3000), prepare(1, 3000), prepare(2, 3000), write(0),
                           write(1), write(2), advance(10), react(0, 9), RESET, open_(), prepare(0, 500),
                           write(0), advance(40), CLOSE)
# A write whose start of the pump fails leaves it idle; the next write starts it.
S["timer_fault"] = scenario(LINK_UP, open_(), prepare(0, 2000), fault(2, 1), write(0), advance(40),
                            write(0), advance(60), CLOSE)

os.makedirs(OUT, exist_ok=True)
for name, data in S.items():
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(data)
print("wrote %d seeds to %s" % (len(S), OUT))
