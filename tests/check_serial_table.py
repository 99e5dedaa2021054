#!/usr/bin/env python3
"""Checks that every row of a list comes back byte for byte from the built table.

Usage: check_serial_table.py LIST.csv [--emulator CMD] [--fingerprint-in EXE] DUMP_PROGRAM

Reads the list on its own (first row of a repeated MAC wins), runs the dump
program once, and compares the table's shape and every pair with the list.
With --fingerprint-in, EXE must carry the list's SHA-256 and row count as text.
"""

import argparse
import csv
import hashlib
import io
import re
import subprocess
import sys

ANY_MAC = re.compile(r"(?:[0-9A-Fa-f]{2}[:-]){5}[0-9A-Fa-f]{2}")


def read_list(path):
    with open(path, "rb") as source:
        return source.read()


def expected_pairs(data):
    text = data.decode("utf-8-sig")
    rows = [r for r in csv.reader(io.StringIO(text, newline="")) if r]
    if rows and not ANY_MAC.fullmatch(rows[0][0]):
        rows = rows[1:]
    pairs = {}
    for mac, serial in rows:
        pairs.setdefault(mac.encode(), serial.encode())
    return len(rows), pairs


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("list")
    parser.add_argument("dump")
    parser.add_argument("--emulator", default="", help="';'-separated command that runs the dump program")
    parser.add_argument("--fingerprint-in", help="executable that must name the list it was built from")
    args = parser.parse_args()

    data = read_list(args.list)
    row_count, pairs = expected_pairs(data)
    some_mac = next(iter(pairs)).decode()
    last_group = int(some_mac[-2:], 16)
    misses = [
        some_mac.lower(),
        some_mac.replace(":", "-"),
        some_mac[:-2] + f"{(last_group + 1) % 256:02X}",
        "0",
        "",
    ]
    misses = [m for m in misses if m.encode() not in pairs]
    emulator = [part for part in args.emulator.split(";") if part]
    run = subprocess.run(emulator + [args.dump] + misses, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, check=True)
    lines = run.stdout.split(b"\n")
    assert lines.pop() == b"", "dump output must end with a line end"

    header = [lines.pop(0) for _ in range(2)]
    expected_header = [f"rows {row_count}".encode(), f"entries {len(pairs)}".encode()]
    failures = []
    if header != expected_header:
        failures.append(f"shape: got {header}, expected {expected_header}")
    for miss in misses:
        line = lines.pop(0)
        if line != f"miss {miss} -> 0".encode():
            failures.append(f"a miss must give \"0\": {line!r}")
    after = lines.pop(0)
    if after != f"entries after misses {len(pairs)}".encode():
        failures.append(f"misses changed the table: {after!r}")
    buckets = lines.pop(0).split()
    if buckets[1] != buckets[3]:
        failures.append(f"the table was rehashed during the fill: {buckets}")
    load = lines.pop(0)
    if load != b"max_load_factor 1":
        failures.append(f"maximum load factor: {load!r}")

    table = {}
    for line in lines:
        mac, _, serial = line.partition(b"\t")
        if mac in table:
            failures.append(f"MAC twice in the table: {mac!r}")
        table[mac] = serial
    for mac, serial in pairs.items():
        got = table.get(mac)
        if got != serial:
            failures.append(f"{mac.decode()}: table holds {got!r}, list says {serial!r}")
    for mac in table.keys() - pairs.keys():
        failures.append(f"{mac!r} is in the table but not in the list")
    if args.fingerprint_in:
        expected = f"MACtoSN list sha256={hashlib.sha256(data).hexdigest()} rows={row_count}".encode()
        with open(args.fingerprint_in, "rb") as executable:
            carried = re.findall(rb"MACtoSN list sha256=[0-9a-f]{64} rows=[0-9]+(?=\0)", executable.read())
        if not carried or any(text != expected for text in carried):
            failures.append(f"{args.fingerprint_in} carries {carried}, expected {expected!r}")

    for failure in failures[:20]:
        print(failure, file=sys.stderr)
    if failures:
        print(f"{len(failures)} failed, {len(pairs)} pairs checked", file=sys.stderr)
        return 1
    print(f"{len(pairs)} pairs of {row_count} rows came back byte for byte")
    return 0


if __name__ == "__main__":
    sys.exit(main())
