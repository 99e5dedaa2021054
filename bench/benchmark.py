#!/usr/bin/env python3
"""MACtoSN beside what a device engineer would otherwise run on the same list,
on the build host (x86-64) and on the device's own instructions (ARMv7-A).

Usage: bench/benchmark.py [--rounds N] [--baseline REV] [--output FILE]

Builds a clean release MACtoSN for x86-64 (timing the build) and for the
device, prepares the peers' files from the bundled list, and runs every tool
on three lookups: a MAC in the list, a well-formed MAC that is not, and a
malformed text. Each command must first give its expected answer, or the run
stops. Then:

- x86-64: instructions of the whole process (valgrind's callgrind), the
  median wall time of interleaved rounds (every command once per round, so
  machine noise lands on all alike) and the peak resident memory;
- ARM: the exact guest instructions under qemu-arm, counted by the TCG plugin
  bench/insn_count.c, on a generic ARMv7-A core (cortex-a9 without NEON: no
  divide instruction) and on one with a divide instruction (cortex-a7); the
  peers are Debian's armhf packages, downloaded and unpacked, not installed.

Each start-up trick in TRICKS is also taken out of a copy of this tree on its
own, built, and measured on the found lookup (ARM cortex-a9 and x86-64), so
that every trick shows what it buys.

--baseline REV also builds MACtoSN from that git revision and measures it in
the same run, interleaved with this tree, in every table. Writes Markdown to
FILE (default bench/results.md) and prints it. bench/README.md says how to
read the figures.
"""

import argparse
import csv
import os
import platform
import random
import re
import shlex
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LIST = os.path.join(TOP, "data", "BrenvicMACtoSerial.csv")
TOOLCHAIN = os.path.join(TOP, "cmake", "arm-linux-gnueabihf.cmake")
PLUGIN_SOURCE = os.path.join(TOP, "bench", "insn_count.c")
CROSS_LIB = "/usr/arm-linux-gnueabihf/lib"
FAIL = "Fail:Mac={} Not Found In /ZOR/System/Config/BrenvicMACtoSerial.csv"
LOOKUPS = [
    ("found", "02:5E:A1:01:A8:80"),
    ("missing", "02:5E:A1:01:A8:81"),
    ("malformed", "not-a-mac"),
]
# The ARM peers' Debian packages, with the libraries they need beyond the
# cross compiler's C library.
ARM_PACKAGES = ["grep", "libpcre2-8-0", "tinycdb", "libcdb1", "bsdextrautils"]
# qemu-arm's -cpu for each ARM column.
CPUS = {
    "cortex-a9": "cortex-a9,neon=off",
    "cortex-a7": "cortex-a7",
}
# The toolchain file's generic ARMv7-A flags with only the divide instruction
# added, for the reference build.
DIVIDE_FLAGS = "-march=armv7ve -mfpu=vfpv3-d16 -mfloat-abi=hard"
# What each start-up trick buys: the tree is copied and the trick taken out
# by exact edits, each of which must apply once, then built and measured with
# the rest. (name, [(file, text, replacement)], extra CMake options).
NO_PREFAULT = ("src/MACtoSN.cpp", "    TableBlocks::prefault(tableObjectFillBytes, tableTextFillBytes);\n", "")
TRICKS = [
    ("the division helper", [("cmake/SerialRows.cmake",
                              '  target_sources(${target} PRIVATE "${PROJECT_SOURCE_DIR}/src/arm_unsigned_divide.S")\n',
                              "")], []),
    ("`[[gnu::flatten]]` on the fill", [("src/MACtoSN.cpp", "[[gnu::flatten]] ", "")], []),
    ("the static blocks (every allocation from the heap)",
     [("src/MACtoSN.cpp", "using TableAllocator = staticblock::Allocator<T, TableBlocks>;",
       "using TableAllocator = std::allocator<T>;"), NO_PREFAULT], []),
    ("the prefault", [NO_PREFAULT], []),
    ("the static C++ runtime", [], ["-DMACTOSN_STATIC_CXX_RUNTIME=OFF"]),
]
# Every measured x86-64 command runs in this environment, ARM ones in an
# empty one: the same locale and the same stack on any machine.
HOST_ENV = {"PATH": "/usr/bin:/bin"}

# Checks the counting plugin on every run: 2 instructions, 10 turns of 3, and
# 3 to exit.
CALIBRATION = """\
    .syntax unified
    .arm
    .global _start
_start:
    mov r1, #10
    mov r2, #0
1:  add r2, r2, #1
    subs r1, r1, #1
    bne 1b
    mov r0, #0
    mov r7, #1
    svc #0
"""
CALIBRATION_COUNT = 2 + 3 * 10 + 3


def quiet(command, **options):
    """Runs a set-up step, showing its output only when it fails."""
    run = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **options)
    if run.returncode != 0:
        sys.exit(f"failed ({run.returncode}): {shlex.join(command)}\n{run.stdout}")
    return run.stdout


def build(source, folder, *options):
    """A clean configure and build of the tool alone; returns seconds."""
    started = time.perf_counter()
    quiet(["cmake", "-S", source, "-B", folder, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
           "-DBUILD_TESTING=OFF", *options])
    quiet(["cmake", "--build", folder, "-j", "2", "--target", "MACtoSN"])
    return time.perf_counter() - started


def export_revision(revision, work):
    """That revision's tree, unpacked; returns (folder, short commit)."""
    commit = subprocess.run(["git", "-C", TOP, "rev-parse", "--verify", "--quiet", f"{revision}^{{commit}}"],
                            stdout=subprocess.PIPE, text=True).stdout.strip()
    if not commit:
        sys.exit(f"--baseline {revision}: no such commit in {TOP}")
    folder = os.path.join(work, "baseline-source")
    os.mkdir(folder)
    archive = os.path.join(work, "baseline.tar")
    quiet(["git", "-C", TOP, "archive", "--format=tar", "-o", archive, commit])
    quiet(["tar", "-x", "-f", archive, "-C", folder])
    return folder, commit[:7]


def tree_without(trick, work, tag):
    """A copy of this tree with one trick taken out; stops if an edit no longer applies."""
    name, edits, _ = trick
    folder = os.path.join(work, "tricks", tag)
    shutil.copytree(TOP, folder, ignore=lambda where, names: [n for n in names if n == ".git" or
                                                            (where == TOP and n.startswith("build"))])
    for path, text, replacement in edits:
        with open(os.path.join(folder, path)) as source:
            content = source.read()
        if content.count(text) != 1:
            sys.exit(f"taking out {name}: {path} holds {content.count(text)} copies of {text!r}, not one; "
                     "update TRICKS in bench/benchmark.py")
        with open(os.path.join(folder, path), "w") as out:
            out.write(content.replace(text, replacement))
    return folder


def this_tree(output):
    head = subprocess.run(["git", "-C", TOP, "rev-parse", "--short=7", "HEAD"],
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout.strip()
    if not head:
        return "this tree"
    # The previous results are no change to what was measured.
    inside = os.path.relpath(os.path.abspath(output), TOP)
    exclude = [] if inside.startswith("..") else [f":(exclude){inside}"]
    dirty = subprocess.run(["git", "-C", TOP, "status", "--porcelain", "--", ".", *exclude],
                           stdout=subprocess.PIPE, text=True).stdout.strip()
    return f"this tree ({head}{' with uncommitted changes' if dirty else ''})"


def read_list():
    """MAC -> serial, the first row winning as in the build."""
    serials = {}
    with open(LIST, newline="", encoding="utf-8-sig") as source:
        rows = list(csv.reader(source))[1:]
    for mac, serial in rows:
        serials.setdefault(mac, serial)
    found = dict(LOOKUPS)["found"]
    if found not in serials or any(mac in serials for kind, mac in LOOKUPS if kind != "found"):
        sys.exit(f"the lookups {LOOKUPS} no longer fit {LIST}")
    return rows, serials


def prepare_peer_files(work, rows):
    """The list in the forms the peers read, in work (the peers' folder)."""
    with open(os.path.join(work, "list.csv"), "w", newline="") as out:
        out.writelines(f"{mac},{serial}\n" for mac, serial in sorted(rows))
    with sqlite3.connect(os.path.join(work, "list.sqlite")) as db:
        db.execute("CREATE TABLE serials (mac TEXT PRIMARY KEY, serial TEXT NOT NULL) WITHOUT ROWID")
        db.executemany("INSERT INTO serials VALUES (?, ?)", rows)
    records = "".join(f"+{len(mac)},{len(serial)}:{mac}->{serial}\n" for mac, serial in rows) + "\n"
    subprocess.run(["cdb", "-c", "list.cdb"], input=records.encode(), cwd=work, check=True)


# What each tool must print (standard output, exit status) for a MAC whose
# serial is `serial`, or None when the list has no such MAC.
def answers_mactosn(mac, serial):
    return (serial, 0) if serial else (FAIL.format(mac), 0)


def answers_line(mac, serial):  # grep -m1, look: the whole line; exit 1 without one
    return (f"{mac},{serial}\n", 0) if serial else ("", 1)


def answers_value(mac, serial):  # awk, sqlite3: the serial on a line; nothing otherwise
    return (f"{serial}\n", 0) if serial else ("", 0)


def answers_cdb(mac, serial):  # cdb -q: the bare value; exit 100 when absent
    return (serial, 0) if serial else ("", 100)


def host_peers(work):
    """name -> (command(mac), answers); every command runs in work."""
    return {
        "grep": (lambda mac: ["grep", "-m1", "-F", f"{mac},", "list.csv"], answers_line),
        "awk": (lambda mac: ["awk", "-F,", "-v", f"m={mac}", "$1 == m { print $2; exit }", "list.csv"],
                answers_value),
        # util-linux look searches a named file by bisection, comparing bytes.
        "look": (lambda mac: ["look", f"{mac},", "list.csv"], answers_line),
        "sqlite3": (lambda mac: ["sqlite3", "list.sqlite", f"SELECT serial FROM serials WHERE mac = '{mac}'"],
                    answers_value),
        "cdb -q": (lambda mac: ["cdb", "-q", "list.cdb", mac], answers_cdb),
    }


def prepare_arm_root(work):
    """The library root for qemu-arm -L: the cross compiler's libraries, the
    peers' armhf packages unpacked, and an empty loader cache so that the
    host's /etc/ld.so.cache (which qemu would otherwise hand to the ARM
    loader) plays no part. Returns (root, {package: version})."""
    root = os.path.join(work, "armroot")
    libs = os.path.join(root, "lib", "arm-linux-gnueabihf")
    os.makedirs(libs)
    os.makedirs(os.path.join(root, "etc"))
    for name in sorted(os.listdir(CROSS_LIB)):
        if ".so" in name:
            os.symlink(os.path.join(CROSS_LIB, name), os.path.join(libs, name))
    os.symlink(os.path.join(CROSS_LIB, "ld-linux-armhf.so.3"), os.path.join(root, "lib", "ld-linux-armhf.so.3"))
    open(os.path.join(root, "etc", "ld.so.cache"), "wb").close()

    debs = os.path.join(work, "debs")
    os.mkdir(debs)
    download = subprocess.run(["apt-get", "download", "-o", "APT::Sandbox::User=root",
                               *(f"{name}:armhf" for name in ARM_PACKAGES)],
                              cwd=debs, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if download.returncode != 0:
        sys.exit("could not download the ARM peers' armhf packages (bench/run.sh sets up apt's armhf lists; "
                 f"stale lists need apt-get update):\n{download.stdout}")
    versions = {}
    for deb in sorted(os.listdir(debs)):
        quiet(["dpkg", "-x", os.path.join(debs, deb), root])
        name, version = deb.split("_")[:2]
        versions[name] = version
    return root, versions


def arm_peers(root):
    """name -> (command(mac), answers); every command runs in the peers' folder."""
    rel = os.path.relpath(root, os.path.dirname(root))
    return {
        "cdb -q": (lambda mac: [f"{rel}/usr/bin/cdb", "-q", "list.cdb", mac], answers_cdb),
        "grep": (lambda mac: [f"{rel}/bin/grep", "-m1", "-F", f"{mac},", "list.csv"], answers_line),
        "look": (lambda mac: [f"{rel}/usr/bin/look", f"{mac},", "list.csv"], answers_line),
    }


def check(label, kind, output, status, expected, command, errors=b""):
    """Figures count only for a right answer."""
    want_output, want_status = expected
    if output != want_output.encode() or status != want_status:
        sys.exit(f"{label} gives a wrong answer for the {kind} lookup, so its figures would not count.\n"
                 f"  command: {shlex.join(command)}\n"
                 f"  expected: {want_output!r}, exit status {want_status}\n"
                 f"  got:      {output.decode(errors='replace')!r}, exit status {status}"
                 + (f"\n  standard error: {errors.decode(errors='replace').strip()}" if errors.strip() else ""))


class ArmCounter:
    def __init__(self, work, root):
        self.qemu = shutil.which("qemu-arm")
        self.root = root
        self.plugin = os.path.join(work, "insn_count.so")
        self.count_file = os.path.join(work, "insn_count.out")
        quiet(["gcc", "-shared", "-fPIC", "-O2", "-Wall", "-o", self.plugin, PLUGIN_SOURCE])

    def command(self, cpu, argv):
        return [self.qemu, "-cpu", CPUS[cpu], "-L", self.root, "-plugin", f"{self.plugin},out={self.count_file}",
                *argv]

    def run(self, cpu, argv, cwd):
        """(instructions, stdout, exit status), in an empty environment (env -i)."""
        if os.path.exists(self.count_file):
            os.remove(self.count_file)
        command = self.command(cpu, argv)
        run = subprocess.run(command, cwd=cwd, env={}, stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            with open(self.count_file) as counted:
                count = int(counted.read())
        except (OSError, ValueError):
            sys.exit(f"no instruction count from: {shlex.join(command)}\n{run.stderr.decode(errors='replace')}")
        return count, run.stdout, run.returncode, run.stderr

    def measure(self, label, kind, cpu, argv, cwd, expected):
        """The count of a right answer, the same on a second run."""
        counts = []
        for _ in range(2):
            count, output, status, errors = self.run(cpu, argv, cwd)
            check(f"{label} on {cpu}", kind, output, status, expected, ["env", "-i", *self.command(cpu, argv)],
                  errors)
            counts.append(count)
        if counts[0] != counts[1]:
            sys.exit(f"{label} on {cpu}, {kind}: two runs counted {counts[0]} and {counts[1]} instructions")
        return counts[0]

    def calibrate(self, work):
        source = os.path.join(work, "calibration.S")
        with open(source, "w") as out:
            out.write(CALIBRATION)
        quiet(["arm-linux-gnueabihf-gcc", "-nostdlib", "-static", "-o", os.path.join(work, "calibration"), source])
        for cpu in CPUS:
            count, _, status, _ = self.run(cpu, ["./calibration"], work)
            if (count, status) != (CALIBRATION_COUNT, 0):
                sys.exit(f"the counting plugin is off on {cpu}: {count} instructions (exit status {status}) "
                         f"for a program of exactly {CALIBRATION_COUNT}")


def instructions(command, cwd):
    run = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", *command], cwd=cwd,
                         env=HOST_ENV, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                         text=True, check=False)
    match = re.search(r"Collected : (\d+)", run.stderr)
    if not match:
        sys.exit(f"callgrind gave no count for {command}:\n{run.stderr}")
    return int(match.group(1))


def wall_time(command, cwd):
    started = time.perf_counter()
    subprocess.run(command, cwd=cwd, env=HOST_ENV, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   stdin=subprocess.DEVNULL)
    return time.perf_counter() - started


def peak_resident_kib(command, cwd):
    """Through GNU time: a child of this Python process would inherit its peak."""
    run = subprocess.run(["/usr/bin/time", "-f", "%M", *command], cwd=cwd, env=HOST_ENV, stdout=subprocess.DEVNULL,
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


def first_line(command):
    try:
        return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              text=True).stdout.splitlines()[0].strip()
    except (OSError, IndexError):
        return "?"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=101, help="interleaved rounds of wall time (default 101)")
    parser.add_argument("--baseline", metavar="REV",
                        help="also build and measure MACtoSN from this git revision, side by side")
    parser.add_argument("--output", default=os.path.join(TOP, "bench", "results.md"))
    args = parser.parse_args()
    if args.rounds < 1:
        parser.error("--rounds must be at least 1")

    rows, serials = read_list()
    work = tempfile.mkdtemp(prefix="mactosn-bench-")
    try:
        # Each build of the tool: label -> source; every build folder is named
        # so that all executables sit at paths of the same length.
        sources = {"MACtoSN": TOP}
        baseline = None
        if args.baseline:
            source, commit = export_revision(args.baseline, work)
            baseline = f"MACtoSN ({args.baseline})"
            sources[baseline] = source
        build_seconds = {}
        folders = {}
        for index, (label, source) in enumerate(sources.items()):
            tag = "this" if index == 0 else "base"
            print(f"== building {label}", file=sys.stderr)
            folders[label] = {kind: os.path.join(work, kind, tag) for kind in ("x86", "arm", "div")}
            build_seconds[label] = (
                build(source, folders[label]["x86"]),
                build(source, folders[label]["arm"], f"-DCMAKE_TOOLCHAIN_FILE={TOOLCHAIN}"),
            )
            build(source, folders[label]["div"], f"-DCMAKE_TOOLCHAIN_FILE={TOOLCHAIN}",
                  f"-DCMAKE_CXX_FLAGS={DIVIDE_FLAGS}")
        # Each trick taken out on its own: found lookup, the device's core and x86-64.
        trick_labels = []
        for index, trick in enumerate(TRICKS):
            label = f"MACtoSN without {trick[0]}"
            tag = f"trk{index}"
            print(f"== building {label}", file=sys.stderr)
            source = tree_without(trick, work, tag)
            folders[label] = {kind: os.path.join(work, kind, tag) for kind in ("x86", "arm")}
            build(source, folders[label]["x86"], *trick[2])
            build(source, folders[label]["arm"], f"-DCMAKE_TOOLCHAIN_FILE={TOOLCHAIN}", *trick[2])
            trick_labels.append(label)

        print("== preparing the peers", file=sys.stderr)
        prepare_peer_files(work, rows)
        root, arm_versions = prepare_arm_root(work)
        counter = ArmCounter(work, root)
        counter.calibrate(work)

        # x86-64 cases: (label, kind, argv, cwd, expected answer).
        host_cases = []
        for label in sources:
            for kind, mac in LOOKUPS:
                host_cases.append((label, kind, ["./MACtoSN", mac], folders[label]["x86"],
                                   answers_mactosn(mac, serials.get(mac))))
        for label, (make, answers) in host_peers(work).items():
            for kind, mac in LOOKUPS:
                host_cases.append((label, kind, make(mac), work, answers(mac, serials.get(mac))))
        found = dict(LOOKUPS)["found"]
        for label in trick_labels:
            host_cases.append((label, "found", ["./MACtoSN", found], folders[label]["x86"],
                               answers_mactosn(found, serials[found])))
        print("== checking the answers on x86-64", file=sys.stderr)
        for label, kind, argv, cwd, expected in host_cases:
            run = subprocess.run(argv, cwd=cwd, env=HOST_ENV, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE)
            check(label, kind, run.stdout, run.returncode, expected, argv, run.stderr)

        # ARM rows: (label, kind, argv, cwd, expected answer, CPUs it runs on).
        arm_cases = []
        divide_label = {}
        for label in sources:
            for kind, mac in LOOKUPS:
                arm_cases.append((label, kind, ["./MACtoSN", mac], folders[label]["arm"],
                                  answers_mactosn(mac, serials.get(mac)), list(CPUS)))
        for label in sources:
            divide_label[label] = f"{label}, built with divide (armv7ve)"
            for kind, mac in LOOKUPS:
                arm_cases.append((divide_label[label], kind, ["./MACtoSN", mac], folders[label]["div"],
                                  answers_mactosn(mac, serials.get(mac)), ["cortex-a7"]))
        for label, (make, answers) in arm_peers(root).items():
            for kind, mac in LOOKUPS:
                arm_cases.append((label, kind, make(mac), work, answers(mac, serials.get(mac)), list(CPUS)))
        for label in trick_labels:
            arm_cases.append((label, "found", ["./MACtoSN", found], folders[label]["arm"],
                              answers_mactosn(found, serials[found]), ["cortex-a9"]))
        print("== counting ARM instructions", file=sys.stderr)
        arm_counts = {}
        for label, kind, argv, cwd, expected, cpus in arm_cases:
            for cpu in cpus:
                arm_counts[label, kind, cpu] = counter.measure(label, kind, cpu, argv, cwd, expected)

        print(f"== {args.rounds} rounds of wall time", file=sys.stderr)
        walls = {(label, kind): [] for label, kind, *_ in host_cases}
        # A fixed order gave identical executables medians 12% apart: each
        # round runs the commands in a new order (the same on every run).
        order = random.Random(0)
        for _ in range(args.rounds):
            for label, kind, argv, cwd, _ in order.sample(host_cases, len(host_cases)):
                walls[label, kind].append(wall_time(argv, cwd))
        peaks = {(label, kind): max(peak_resident_kib(argv, cwd) for _ in range(5))
                 for label, kind, argv, cwd, _ in host_cases}
        print("== callgrind", file=sys.stderr)
        counts = {(label, kind): instructions(argv, cwd) for label, kind, argv, cwd, _ in host_cases}
    finally:
        shutil.rmtree(work, ignore_errors=True)

    median_ms = {key: statistics.median(values) * 1e3 for key, values in walls.items()}
    lines = [
        "# Benchmark results",
        "",
        f"Written by `bench/run.sh{' --baseline ' + args.baseline if args.baseline else ''}"
        f"{' --rounds ' + str(args.rounds) if args.rounds != 101 else ''}`; bench/README.md says how they are "
        "measured and how to read them.",
        "",
        f"- Machine: {machine()}.",
        f"- Compilers: {first_line(['g++', '--version'])}; {first_line(['arm-linux-gnueabihf-g++', '--version'])}. "
        f"Emulator: {first_line(['qemu-arm', '--version'])}. {first_line(['valgrind', '--version'])}.",
        f"- `MACtoSN` is {this_tree(args.output)}"
        + (f"; `{baseline}` is commit {commit}, built the same way in the same run." if baseline else "."),
        f"- ARM peers: Debian armhf packages {', '.join(f'{n} {v}' for n, v in arm_versions.items())}.",
    ]
    def spread(label):
        median = f"{median_ms[label, 'found']:.2f} ms"
        if args.rounds < 2:
            return median
        low, _, high = statistics.quantiles(walls[label, "found"], n=4)
        return f"{median} ({low * 1e3:.2f}–{high * 1e3:.2f})"

    if baseline:
        lines += [
            "",
            f"## Found lookup: this tree against {args.baseline}",
            "",
            f"| | MACtoSN | {baseline} | ratio |",
            "|---|---:|---:|---:|",
            f"| median wall time, x86-64 (middle half) | {spread('MACtoSN')} | {spread(baseline)} | "
            f"**{median_ms['MACtoSN', 'found'] / median_ms[baseline, 'found']:.3f}** |",
            f"| instructions, x86-64 | {counts['MACtoSN', 'found']:,} | {counts[baseline, 'found']:,} | "
            f"{counts['MACtoSN', 'found'] / counts[baseline, 'found']:.3f} |",
        ]
        for cpu in CPUS:
            this, base = arm_counts["MACtoSN", "found", cpu], arm_counts[baseline, "found", cpu]
            lines.append(f"| instructions, ARM {cpu} | {this:,} | {base:,} | {this / base:.3f} |")
        this = arm_counts[divide_label["MACtoSN"], "found", "cortex-a7"]
        base = arm_counts[divide_label[baseline], "found", "cortex-a7"]
        lines.append(f"| instructions, ARM cortex-a7, built with divide | {this:,} | {base:,} | {this / base:.3f} |")

    device = arm_counts["MACtoSN", "found", "cortex-a9"]
    lines += [
        "",
        "## What each start-up trick buys",
        "",
        "This tree with one trick taken out (`TRICKS` in bench/benchmark.py), found lookup. A trick stays only "
        "where it pays at least 5% of the device's instructions (cortex-a9), or, for the prefault, its wall time.",
        "",
        "| taken out | instructions, ARM cortex-a9 | vs. this tree | instructions, x86-64 | median wall time, "
        "x86-64 | vs. this tree |",
        "|---|---:|---:|---:|---:|---:|",
        f"| nothing | {device:,} | — | {counts['MACtoSN', 'found']:,} | {median_ms['MACtoSN', 'found']:.2f} ms | — |",
    ]
    for label in trick_labels:
        arm = arm_counts[label, "found", "cortex-a9"]
        lines.append(f"| {label[len('MACtoSN without '):]} | {arm:,} | {arm / device - 1:+.1%} | "
                     f"{counts[label, 'found']:,} | {median_ms[label, 'found']:.2f} ms | "
                     f"{median_ms[label, 'found'] / median_ms['MACtoSN', 'found'] - 1:+.1%} |")

    lines += [
        "",
        "## x86-64",
        "",
        "Clean configure and build of MACtoSN alone (release): "
        + "; ".join(f"{label} {x86:.1f} s (device build {arm:.1f} s)" for label, (x86, arm) in build_seconds.items())
        + ".",
        "",
        f"Instructions: callgrind, the whole process. Wall time: median of {args.rounds} interleaved rounds. "
        "Memory: the largest peak resident set of 5 runs.",
        "",
        "| tool | lookup | instructions | median wall time | peak resident memory |",
        "|---|---|---:|---:|---:|",
    ]
    for label, kind, *_ in host_cases:
        if label in trick_labels:
            continue
        lines.append(f"| {label} | {kind} | {counts[label, kind] / 1e6:.2f} M | {median_ms[label, kind]:.2f} ms | "
                     f"{peaks[label, kind] / 1024:.2f} MiB |")

    lines += [
        "",
        "## ARMv7-A under qemu-arm: exact instruction counts",
        "",
        "Guest instructions of the whole process, counted by bench/insn_count.c; each count is the same on two "
        "runs. Run as `env -i qemu-arm -cpu CPU -L ROOT -plugin insn_count.so,out=FILE TOOL ARGS`.",
        "cortex-a9 is run with `neon=off`: a generic ARMv7-A core with VFPv3 and no divide instruction, which "
        "the device build targets. cortex-a7 has the divide instruction (and NEON, which glibc's string "
        "functions pick up at run time). The build with divide adds `-march=armv7ve` to the device build's "
        "flags and cannot run on the generic core.",
        "",
        "| tool | lookup | " + " | ".join(CPUS) + " |",
        "|---|---|" + "---:|" * len(CPUS),
    ]
    seen = []
    for label, kind, *_ in arm_cases:
        if (label, kind) in seen or label in trick_labels:
            continue
        seen.append((label, kind))
        cells = [f"{arm_counts[label, kind, cpu]:,}" if (label, kind, cpu) in arm_counts else "—" for cpu in CPUS]
        lines.append(f"| {label} | {kind} | " + " | ".join(cells) + " |")

    table = "\n".join(lines) + "\n"
    with open(args.output, "w") as out:
        out.write(table)
    print(table, end="")


if __name__ == "__main__":
    main()
