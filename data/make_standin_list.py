#!/usr/bin/env python3
"""Writes the stand-in MAC-to-serial list, byte for byte the same on every run.

The maker's real list is device data we do not ship.  This one has its shape:
28,798 rows sorted by MAC under one locally administered prefix, the first
row's last group odd and every other row's a multiple of 4 (so no MAC is
another plus one), and the same spread of serial lengths and oddities,
including ten serials with "-" and a spreadsheet's "#NAME?".

Usage: make_standin_list.py [OUTPUT]   (default: standard output)
"""

import hashlib
import sys

PREFIX = "02:5E:A1"
FIRST_SUFFIX = 0x000001  # a lone early unit, off the step-of-4 grid
ROW_COUNT = 28798
HEADER = "MAC Address,Serial Number"


def draw(label, index):
    """A stable pseudo-random 64-bit number, independent of Python's PRNG."""
    digest = hashlib.sha256(f"standin:{label}:{index}".encode()).digest()
    return int.from_bytes(digest[:8], "big")


def mac_suffixes():
    """The 24-bit suffixes of all rows, ascending."""
    suffixes = [FIRST_SUFFIX]
    candidate = 4
    while len(suffixes) < ROW_COUNT:
        # About four in five addresses of the step-of-4 grid are in use.
        if draw("mac", candidate) % 5 != 0:
            suffixes.append(candidate)
        candidate += 4
    assert candidate <= 0xFFFFFF
    return suffixes


def pick(label, indices, count):
    """A stable choice of `count` of `indices`."""
    return sorted(indices, key=lambda i: draw(label, i))[:count]


def serials():
    """One serial per row, in row order: mostly 11 characters, a few odd ones."""
    rows = range(ROW_COUNT)
    odd = {}
    remaining = list(rows)

    def assign(label, count, make):
        nonlocal remaining
        chosen = pick(label, remaining, count)
        for n, index in enumerate(sorted(chosen)):
            odd[index] = make(n)
        chosen_set = set(chosen)
        remaining = [i for i in remaining if i not in chosen_set]

    assign("older", 440, lambda n: f"BR17{41000 + n * 7:05d}")          # 9
    assign("extended", 53, lambda n: f"BVX2{n % 9 + 1}{n:02d}{70000 + n:05d}")  # 12
    assign("rework", 6, lambda n: f"BV2{n}07-{123 + n * 31:05d}")      # 12 with "-"
    assign("rma", 4, lambda n: f"RMA-{417 + n * 58:06d}")              # 10 with "-"
    assign("proto", 1, lambda n: "PROTO017")                           # 8
    assign("bench", 1, lambda n: "P00172")                             # 6
    assign("broken", 1, lambda n: "#NAME?")                            # 6

    result = []
    sequence = 0
    for index in rows:
        if index in odd:
            result.append(odd[index])
            continue
        year = 18 + sequence // 6000
        week = 1 + (sequence // 120) % 50
        result.append(f"BV{year:02d}{week:02d}{sequence:05d}")
        sequence += 1
    return result


def standin_list():
    lines = [HEADER]
    for suffix, serial in zip(mac_suffixes(), serials()):
        groups = [(suffix >> shift) & 0xFF for shift in (16, 8, 0)]
        mac = PREFIX + "".join(f":{g:02X}" for g in groups)
        lines.append(f"{mac},{serial}")
    return "\n".join(lines) + "\n"


def main(argv):
    text = standin_list()
    if len(argv) > 1:
        with open(argv[1], "w", encoding="ascii", newline="") as out:
            out.write(text)
    else:
        sys.stdout.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
