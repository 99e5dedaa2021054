#!/usr/bin/env python3
"""Every row of a list, read on its own (a repeated MAC's first row wins), comes back byte for byte from the built
table, and the table has the list's shape. Usage: check_serial_table.py LIST.csv DUMP_PROGRAM [--emulator CMD]
[--fingerprint-in EXE], where EXE must carry the list's SHA-256 and row count as text."""

import argparse, collections, csv, hashlib, io, pathlib, re, subprocess, sys

ANY_MAC = re.compile(r"(?:[0-9A-Fa-f]{2}[:-]){5}[0-9A-Fa-f]{2}")

def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("list")
    parser.add_argument("dump")
    parser.add_argument("--emulator", default="", help="';'-separated command that runs the dump program")
    parser.add_argument("--fingerprint-in", help="executable that must name the list it was built from")
    args = parser.parse_args()
    data = pathlib.Path(args.list).read_bytes()
    rows = [row for row in csv.reader(io.StringIO(data.decode("utf-8-sig"), newline="")) if row]
    rows = rows[1:] if rows and not ANY_MAC.fullmatch(rows[0][0]) else rows
    pairs = {}
    for mac, serial in rows:
        pairs.setdefault(mac.encode(), serial.encode())
    some_mac = next(iter(pairs)).decode()
    next_mac = some_mac[:-2] + f"{(int(some_mac[-2:], 16) + 1) % 256:02X}"
    misses = [m for m in (some_mac.lower(), some_mac.replace(":", "-"), next_mac, "0", "") if m.encode() not in pairs]
    emulator = [part for part in args.emulator.split(";") if part]
    lines = subprocess.run(emulator + [args.dump] + misses, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL,
                           check=True).stdout.split(b"\n")
    assert lines.pop() == b"", "dump output must end with a line end"
    # The shape, each miss giving "0" and leaving the table as it was, and a table never rehashed.
    shape = [f"rows {len(rows)}", f"entries {len(pairs)}"] + [f"miss {miss} -> 0" for miss in misses] + [
        f"entries after misses {len(pairs)}", "max_load_factor 1"]
    buckets = lines.pop(len(shape) - 1).split()
    failures = [f"dump: {got!r}, expected {want!r}" for got, want in zip(lines, shape) if got != want.encode()]
    if buckets[1] != buckets[3]:
        failures.append(f"the table was rehashed during the fill: {buckets}")
    table = [line.partition(b"\t")[::2] for line in lines[len(shape):]]
    counts = collections.Counter(mac for mac, _ in table)
    failures += [f"MAC twice in the table: {mac!r}" for mac, count in counts.items() if count > 1]
    table = dict(table)
    failures += [f"{mac.decode()}: table holds {table.get(mac)!r}, list says {serial!r}"
                 for mac, serial in pairs.items() if table.get(mac) != serial]
    failures += [f"{mac!r} is in the table but not in the list" for mac in table.keys() - pairs.keys()]
    if args.fingerprint_in:
        expected = f"MACtoSN list sha256={hashlib.sha256(data).hexdigest()} rows={len(rows)}".encode()
        carried = re.findall(rb"MACtoSN list sha256=[0-9a-f]{64} rows=[0-9]+(?=\0)",
                             pathlib.Path(args.fingerprint_in).read_bytes())
        if not carried or any(text != expected for text in carried):
            failures.append(f"{args.fingerprint_in} carries {carried}, expected {expected!r}")
    for failure in failures[:20]:
        print(failure, file=sys.stderr)
    if failures:
        print(f"{len(failures)} failed, {len(pairs)} pairs checked", file=sys.stderr)
        return 1
    print(f"{len(pairs)} pairs of {len(rows)} rows came back byte for byte")
    return 0

if __name__ == "__main__":
    sys.exit(main())
