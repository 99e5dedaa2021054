#!/usr/bin/env python3
"""MACtoSN beside what a device engineer would otherwise run on the same list.

Usage: bench/benchmark.py [--rounds N] [--output FILE]

Builds a clean release MACtoSN (timing the build), prepares the peers' files
from the bundled list, then measures each tool on three lookups: a MAC in the
list, a well-formed MAC that is not, and a malformed text. For each: the
instructions of the whole process (valgrind's callgrind, repeatable), the
median wall time of interleaved runs (every tool once per round, so machine
noise lands on all alike), and the peak resident memory. Writes a Markdown
table to FILE (default bench/results.md) and prints it.
"""

import argparse
import csv
import os
import platform
import re
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LIST = os.path.join(TOP, "data", "BrenvicMACtoSerial.csv")
LOOKUPS = [
    ("found", "02:5E:A1:01:A8:80"),
    ("missing", "02:5E:A1:01:A8:81"),
    ("malformed", "not-a-mac"),
]


def build(work):
    """A clean configure and build of the tool alone; returns (executable, seconds)."""
    folder = os.path.join(work, "build")
    started = time.perf_counter()
    subprocess.run(["cmake", "-S", TOP, "-B", folder, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    "-DBUILD_TESTING=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", folder, "--target", "MACtoSN"], check=True, stdout=subprocess.DEVNULL)
    return os.path.join(folder, "MACtoSN"), time.perf_counter() - started


def prepare_peers(work):
    """The list in the forms the peers read; returns {name: command(mac)}."""
    with open(LIST, newline="") as source:
        rows = list(csv.reader(source))[1:]
    plain = os.path.join(work, "list.csv")
    with open(plain, "w", newline="") as out:
        out.writelines(f"{mac},{serial}\n" for mac, serial in sorted(rows))
    database = os.path.join(work, "list.sqlite")
    with sqlite3.connect(database) as db:
        db.execute("CREATE TABLE serials (mac TEXT PRIMARY KEY, serial TEXT NOT NULL) WITHOUT ROWID")
        db.executemany("INSERT INTO serials VALUES (?, ?)", rows)
    constant_db = os.path.join(work, "list.cdb")
    records = "".join(f"+{len(mac)},{len(serial)}:{mac}->{serial}\n" for mac, serial in rows) + "\n"
    subprocess.run(["cdb", "-c", constant_db], input=records.encode(), check=True)
    return {
        "grep": lambda mac: ["grep", "-m1", "-F", f"{mac},", plain],
        "awk": lambda mac: ["awk", "-F,", "-v", f"m={mac}", "$1 == m { print $2; exit }", plain],
        "look": lambda mac: ["look", "-b", f"{mac},", plain],
        "sqlite3": lambda mac: ["sqlite3", database, f"SELECT serial FROM serials WHERE mac = '{mac}'"],
        "cdb -q": lambda mac: ["cdb", "-q", constant_db, mac],
    }


def instructions(command):
    run = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", *command],
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, check=False)
    match = re.search(r"Collected : (\d+)", run.stderr)
    if not match:
        sys.exit(f"callgrind gave no count for {command}:\n{run.stderr}")
    return int(match.group(1))


def wall_time(command):
    started = time.perf_counter()
    subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    return time.perf_counter() - started


def peak_resident_kib(command):
    """Through GNU time: a child of this Python process would inherit its peak."""
    run = subprocess.run(["/usr/bin/time", "-f", "%M", *command], stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True, check=False)
    return int(run.stderr.strip().splitlines()[-1])


def machine():
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as info:
            model = next(line.split(":", 1)[1].strip() for line in info if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return f"{model}, {os.cpu_count()} cores, Linux {platform.release()}, {platform.machine()}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=41)
    parser.add_argument("--output", default=os.path.join(TOP, "bench", "results.md"))
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="mactosn-bench-")
    try:
        tool, build_seconds = build(work)
        tools = {"MACtoSN": lambda mac: [tool, mac]}
        tools.update(prepare_peers(work))
        cases = [(name, kind, make(mac)) for name, make in tools.items() for kind, mac in LOOKUPS]

        walls = {(name, kind): [] for name, kind, _ in cases}
        for _ in range(args.rounds):
            for name, kind, command in cases:
                walls[name, kind].append(wall_time(command))
        peaks = {(name, kind): max(peak_resident_kib(command) for _ in range(5))
                 for name, kind, command in cases}
        counts = {(name, kind): instructions(command) for name, kind, command in cases}
    finally:
        shutil.rmtree(work, ignore_errors=True)

    lines = [
        f"Machine: {machine()}.",
        f"Clean configure and build of MACtoSN (release): {build_seconds:.1f} s.",
        f"Wall time: median of {args.rounds} interleaved rounds; memory: the largest peak resident set of 5 runs.",
        "",
        "| tool | lookup | instructions | median wall time | peak resident memory |",
        "|---|---|---:|---:|---:|",
    ]
    for name, kind, _ in cases:
        lines.append(f"| {name} | {kind} | {counts[name, kind] / 1e6:.2f} M | "
                     f"{statistics.median(walls[name, kind]) * 1e3:.2f} ms | "
                     f"{peaks[name, kind] / 1024:.2f} MiB |")
    table = "\n".join(lines) + "\n"
    with open(args.output, "w") as out:
        out.write(table)
    print(table, end="")


if __name__ == "__main__":
    main()
