#!/usr/bin/env python3
"""Runs DEVICE.md's boot-script lines, as written, against the built MACtoSN.

Usage: check_device_caller.py DEVICE_MD TOOL [--emulator CMD]

Only the sysfs folder and the installed tool's path in the lines are
replaced, by a temporary root laid out like the device's, so DEVICE.md
cannot drift from what is tested. The lines run under /bin/sh, and under
busybox sh with nothing but BusyBox's applets on PATH when busybox is
installed, as on the device.
"""

import argparse
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile

HEADING = "## Calling it at boot"
SYSFS = "/sys/class/net/"
TOOL = "/ZOR/System/bin/MACtoSN"
# sysfs's own: a loopback interface is always there.
LOOPBACK = {"lo": b"00:00:00:00:00:00\n"}


def failure(mac):
    return b"Fail:Mac=" + mac + b" Not Found In /ZOR/System/Config/BrenvicMACtoSerial.csv"


def case(heading, interfaces, stdout=b"", stderr=b"", complaint=None, installed=True, files=()):
    """stdout is exact; stderr is how standard error ends. A complaint of
    the shell or a tool before that, worded as each shell words it, must be
    one line naming the path complaint. files are made in the working folder."""
    return {"heading": heading, "interfaces": interfaces, "stdout": stdout, "stderr": stderr,
            "complaint": complaint, "installed": installed, "files": files}


CASES = [
    case("a listed MAC as sysfs writes it: the serial",
         {"eth0": b"02:5e:a1:00:00:04\n"}, stdout=b"serial number: BV180100001\n"),
    case("a serial that is a shell pattern comes through as printed, whatever the folder holds",
         {"eth0": b"02:5e:a1:01:a8:84\n"}, stdout=b"serial number: #NAME?\n", files=["#NAME1"]),
    case("a MAC not in the list: the failure branch, with the MAC the tool was given",
         {"eth0": b"02:5e:a1:00:00:05\n"},
         stderr=b"no serial number: " + failure(b"02:5E:A1:00:00:05") + b"\n"),
    case("no such interface: the failure branch",
         {}, stderr=b"no serial number: " + failure(b"") + b"\n", complaint=SYSFS + "eth0/address"),
    case("the tool not installed: no text, the failure branch",
         {"eth0": b"02:5e:a1:00:00:04\n"}, stderr=b"no serial number: MACtoSN did not run\n",
         complaint=TOOL, installed=False),
]


def boot_lines(device_md):
    """The first sh block under HEADING, before the next heading."""
    with open(device_md, encoding="utf-8") as source:
        lines = source.read().split("\n")
    if HEADING not in lines:
        sys.exit(f"{device_md}: no heading {HEADING!r}")
    block = None
    for line in lines[lines.index(HEADING) + 1:]:
        if block is None:
            if line.startswith("## "):
                break
            if line == "```sh":
                block = []
        elif line == "```":
            return "\n".join(block) + "\n"
        else:
            block.append(line)
    sys.exit(f"{device_md}: no ```sh block under {HEADING!r}")


def in_root(lines, root):
    """The lines with the two fixed paths under root, and nothing else changed."""
    for path in (SYSFS, TOOL):
        if path not in lines:
            sys.exit(f"the lines under {HEADING!r} no longer name {path}:\n{lines}")
    # The lines may leave the paths unquoted.
    if not re.fullmatch(r"[A-Za-z0-9_./-]+", root):
        sys.exit(f"a temporary folder the lines could not name unquoted: {root}")
    pattern = "|".join(re.escape(path) for path in (SYSFS, TOOL))
    return re.sub(pattern, lambda found: root + found.group(0), lines)


def install_tool(path, tool, emulator):
    os.makedirs(os.path.dirname(path))
    if not emulator:
        os.symlink(tool, path)
        return
    # By absolute path, since the BusyBox run's PATH holds only its applets.
    program = shutil.which(emulator[0]) or sys.exit(f"emulator not found: {emulator[0]}")
    command = " ".join(shlex.quote(part) for part in [program] + emulator[1:] + [tool])
    with open(path, "w") as wrapper:
        wrapper.write(f'#!/bin/sh\nexec {command} "$@"\n')
    os.chmod(path, 0o755)


def shells(scratch):
    """(name, command, environment) of each shell to run the lines with."""
    found = [("/bin/sh", ["/bin/sh"], dict(os.environ))]
    busybox = shutil.which("busybox")
    if busybox:
        applets = os.path.join(scratch, "busybox-applets")
        os.mkdir(applets)
        listed = subprocess.run([busybox, "--list"], stdout=subprocess.PIPE, check=True).stdout
        for applet in listed.decode().split():
            os.symlink(busybox, os.path.join(applets, applet))
        found.append(("busybox sh", [busybox, "sh"], dict(os.environ, PATH=applets)))
    else:
        print("busybox is not installed: the lines ran under /bin/sh only")
    return found


def check(shell, case, lines, scratch, tool, emulator):
    command, environment = shell[1], shell[2]
    root = tempfile.mkdtemp(dir=scratch)
    for interface, address in dict(LOOPBACK, **case["interfaces"]).items():
        os.makedirs(os.path.join(root + SYSFS, interface))
        with open(os.path.join(root + SYSFS, interface, "address"), "wb") as file:
            file.write(address)
    for name in case["files"]:
        open(os.path.join(root, name), "w").close()
    if case["installed"]:
        install_tool(root + TOOL, tool, emulator)
    script = os.path.join(root, "boot.sh")
    with open(script, "w") as file:
        file.write(in_root(lines, root))
    result = subprocess.run(command + [script], cwd=root, env=environment, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
    problems = []
    if result.stdout != case["stdout"]:
        problems.append(f"stdout {result.stdout!r}, expected {case['stdout']!r}")
    stderr, end = result.stderr, case["stderr"]
    if case["complaint"] is None:
        expected = repr(end)
        good = stderr == end
    else:
        named = (root + case["complaint"]).encode()
        expected = f"one line naming {named!r}, then {end!r}"
        complaint = stderr[:-len(end)] if stderr.endswith(end) else b""
        good = complaint.count(b"\n") == 1 and complaint.endswith(b"\n") and named in complaint
    if not good:
        problems.append(f"stderr {stderr!r}, expected {expected}")
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("device_md")
    parser.add_argument("tool")
    parser.add_argument("--emulator", default="", help="';'-separated command that runs the tool")
    args = parser.parse_args()
    emulator = [part for part in args.emulator.split(";") if part]
    lines = boot_lines(args.device_md)

    passed = failed = 0
    with tempfile.TemporaryDirectory() as scratch:
        for shell in shells(scratch):
            for case in CASES:
                problems = check(shell, case, lines, scratch, os.path.abspath(args.tool), emulator)
                if problems:
                    failed += 1
                    print(f"FAIL {shell[0]} [{case['heading']}]")
                    for problem in problems:
                        print(f"  {problem}")
                else:
                    passed += 1
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
