#!/usr/bin/env python3
"""Writes the wave API fuzz target's seed corpus: scenarios in its encoding
(see api_steps.cpp, ApiSession::Step, and api_clients.cpp, ApiSession::Open).
Run from anywhere; writes fuzz/api_corpus/."""
import os

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "api_corpus")

LINK_UP_AT_SETUP = 0x01
A, B, C = 0, 1, 2

# Open's byte.
DEVICE1, MAPPER, EVENT, OTHER_FORMAT, QUERY = 0x00, 0x01, 0x06, 0x18, 0xE0
# Prepare's length codes: 10 ms, 40 ms, 100 ms, one frame, a partial frame,
# none, 2002 bytes, 250 ms.
L10, L40, L100, FRAME, PARTIAL, EMPTY, ODD, L250 = range(8)
BEGIN, END = 0x30, 0xC0
LOOPS = {0: 0, 1: 1, 2: 2, "inf": 3}


def op(client, action, *args):
    return bytes([(client << 6) | action] + list(args))


def write(c, i): return op(c, 0, i)
def prepare(c, i, length, flags=0, loops=0): return op(c, 3, i, length, flags | LOOPS[loops])
def unprepare(c, i): return op(c, 4, i)
def open_(c, how): return op(c, 5, how)
def close(c): return op(c, 7)
def reset(c): return op(c, 8)
def pause(c): return op(c, 9)
def restart(c): return op(c, 10)
def breakloop(c): return op(c, 11)
def position(c): return op(c, 12)
def advance(ms):
    # One step advances at most 382 ms.
    out = b""
    while ms > 0:
        step = min(ms, 382)
        out += op(0, 13, (step - 1) // 3)
        ms -= step
    return out
def link(up): return op(0, 15, 0 if up else 1)
def refuse(n): return op(0, 16, n - 1)
def rewrites(c, n): return op(c, 17, n)
def opens_from_callback(c, nth, how): return op(c, 17, 0x80 | (nth << 5) | how)  # client c+1+nth


def play(c, *headers, length=L40):
    out = b""
    for i in headers:
        out += prepare(c, i, length)
    for i in headers:
        out += write(c, i)
    return out


SEEDS = {
    # A second client opens device 1 while the first plays; the first resets
    # and closes; the second plays after it.
    "second_open_device1": bytes([LINK_UP_AT_SETUP]) + open_(A, DEVICE1) + play(A, 0, 1) + advance(20)
    + open_(B, DEVICE1) + advance(100) + reset(A) + close(A) + open_(B, DEVICE1) + play(B, 0) + advance(100)
    + close(B),
    # The mapper's client takes device 1 while the link is up; a direct
    # client then asks for it; the link goes down and up meanwhile.
    "mapper_then_device1": bytes([LINK_UP_AT_SETUP]) + open_(A, MAPPER) + play(A, 0, 1, 2) + advance(30)
    + open_(B, DEVICE1) + link(False) + advance(60) + link(True) + position(A) + advance(300) + reset(A) + close(A),
    # An event client converted by the mapper, with refused posts, a pause
    # and positions.
    "event_converted": bytes([LINK_UP_AT_SETUP]) + open_(C, MAPPER | EVENT | OTHER_FORMAT) + play(C, 0, 1, 2, length=L100)
    + advance(50) + refuse(4) + advance(50) + pause(C) + position(C) + advance(30) + restart(C) + advance(400)
    + close(C),
    # Two mapper clients while the link is down: both on device 0.
    "device0_two_clients": bytes([0]) + open_(A, MAPPER) + open_(B, MAPPER) + play(A, 0, 1) + play(B, 0)
    + advance(60) + reset(B) + reset(A) + close(A) + close(B),
    # A double-buffering client with a loop, broken out of, and a second
    # client through the mapper once the link comes up.
    "double_buffer_loop": bytes([0]) + open_(A, DEVICE1) + rewrites(A, 3) + prepare(A, 0, L10, BEGIN, 2)
    + prepare(A, 1, L10, END) + prepare(A, 2, ODD) + write(A, 0) + write(A, 1) + write(A, 2) + advance(40)
    + link(True) + open_(B, MAPPER) + advance(40) + breakloop(A) + position(A) + advance(200) + reset(A)
    + close(A),
    # A player's callback starts a notification on device 1, then one
    # through the mapper, while the player holds the device.
    "open_from_callback": bytes([LINK_UP_AT_SETUP]) + open_(A, DEVICE1) + opens_from_callback(A, 0, DEVICE1)
    + play(A, 0, 1, 2, length=L10) + advance(15) + opens_from_callback(A, 1, MAPPER) + advance(15)
    + play(B, 0) + advance(30) + reset(A) + close(A),
    # Misuse a client can make on its own stream: a close while playing,
    # a header written twice, an unprepared header, an unprepare while
    # queued, queries; then the close after the last header is back.
    "misuse": bytes([LINK_UP_AT_SETUP]) + open_(A, QUERY) + open_(A, QUERY | OTHER_FORMAT) + open_(A, DEVICE1)
    + play(A, 0, length=L10) + write(A, 0) + write(A, 3) + unprepare(A, 0) + close(A) + prepare(A, 1, PARTIAL)
    + write(A, 1) + prepare(A, 2, EMPTY) + write(A, 2) + advance(100) + unprepare(A, 0) + close(A),
}


def main():
    os.makedirs(OUT, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
