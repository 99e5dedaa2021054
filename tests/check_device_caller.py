#!/usr/bin/env python3
"""Runs the boot script as it is against the built MACtoSN, under /bin/sh and under busybox sh with only
BusyBox's applets on PATH. Usage: check_device_caller.py SCRIPT TOOL [--emulator CMD]"""

import argparse, itertools, os, pathlib, shlex, shutil, subprocess, sys, tempfile

FAIL = b"no serial number: Fail:Mac=%s Not Found In /ZOR/System/Config/BrenvicMACtoSerial.csv\n"
# (case, sysfs file (None: none), tool installed, stdout, how stderr ends, file a one-line complaint before that names)
CASES = [
    ("a listed MAC, as sysfs writes it", b"02:5e:a1:00:00:04\n", True, b"serial number: BV180100001\n", b"", None),
    ("a serial that is a pattern a file matches", b"02:5e:a1:01:a8:84\n", True, b"serial number: #NAME?\n", b"", None),
    ("an unlisted MAC: the failure, naming it", b"02:5e:a1:00:00:05\n", True, b"", FAIL % b"02:5E:A1:00:00:05", None),
    ("no such interface: the failure", None, True, b"", FAIL % b"", "address"),
    ("no tool installed", b"02:5e:a1:00:00:04\n", False, b"", b"no serial number: MACtoSN did not run\n", "MACtoSN"),
]

def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("script")
    parser.add_argument("tool")
    parser.add_argument("--emulator", default="", help="';'-separated command that runs the tool")
    args = parser.parse_args()
    # By absolute paths, since BusyBox's PATH holds only its applets.
    tool = [part for part in args.emulator.split(";") if part] + [os.path.abspath(args.tool)]
    tool = " ".join(map(shlex.quote, [shutil.which(tool[0]) or tool[0]] + tool[1:]))
    shells, failed = [("/bin/sh", os.environ)], 0
    with tempfile.TemporaryDirectory() as scratch:
        applets = os.path.join(scratch, "applets")
        if shutil.which("busybox"):
            os.mkdir(applets)
            for applet in subprocess.run(["busybox", "--list"], stdout=subprocess.PIPE, check=True).stdout.split():
                os.symlink(shutil.which("busybox"), os.path.join(applets, applet.decode()))
            shells.append((os.path.join(applets, "sh"), dict(os.environ, PATH=applets)))
        else:
            print("busybox is not installed: the script ran under /bin/sh only")
        for (shell, environment), (case, sysfs, installed, stdout, end, complaint) in itertools.product(shells, CASES):
            folder = pathlib.Path(tempfile.mkdtemp(dir=scratch))
            (folder / "#NAME1").touch()
            if sysfs:
                (folder / "address").write_bytes(sysfs)
            if installed:
                (folder / "MACtoSN").write_text(f'#!/bin/sh\nexec {tool} "$@"\n')
                (folder / "MACtoSN").chmod(0o755)
            result = subprocess.run([shell, os.path.abspath(args.script), str(folder / "address"),
                                     str(folder / "MACtoSN")], cwd=str(folder), env=environment, timeout=120,
                                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            said = result.stderr[:len(result.stderr) - len(end)] if result.stderr.endswith(end) else None
            named = complaint and os.fsencode(folder / complaint)
            good = said == b"" if not complaint else bool(said) and said.count(b"\n") == 1 and said.endswith(b"\n")
            if result.stdout != stdout or not good or complaint and named not in said:
                failed += 1
                print(f"FAIL {shell} [{case}]: stdout {result.stdout!r}, stderr {result.stderr!r}; expected stdout "
                      f"{stdout!r}, stderr {end!r}" + (f" after one line naming {named}" if complaint else ""))
    print(f"{len(shells) * len(CASES) - failed} passed, {failed} failed")
    return 1 if failed else 0

if __name__ == "__main__":
    sys.exit(main())
