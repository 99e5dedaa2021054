#!/usr/bin/env python3
"""Checks what an executable asks of the C library on the device, read with objdump.

Usage: check_glibc_floor.py --objdump=OBJDUMP (--floor=X.Y [--stated-in=DOC ...] | --static [--pie])
                            [--runpath=PATH] EXECUTABLE

--floor: no GLIBC_ version newer than X.Y, the build's floor; each
--stated-in document must state that floor, in its one sentence
"... needs glibc X.Y or newer ...".
--static: no program interpreter, no library, no GLIBC_ version, no run path;
with --pie, still position-independent.
--runpath: exactly this run path.
"""

import argparse
import re
import subprocess
import sys

FLOOR_SENTENCE = re.compile(r"needs\s+glibc\s+(\d+(?:\.\d+)+)\s+or\s+newer")


def version(text):
    return tuple(int(part) for part in text.split("."))


def stated_floor(path):
    """The floor a document states, or why it states none."""
    with open(path, encoding="utf-8") as document:
        floors = set(FLOOR_SENTENCE.findall(document.read()))
    if len(floors) != 1:
        return None, (f"{path}: expected one glibc floor in a sentence \"... needs glibc X.Y or newer ...\", "
                      f"found {sorted(floors) or 'none'}")
    return floors.pop(), None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--floor")
    parser.add_argument("--stated-in", action="append", default=[])
    parser.add_argument("--static", action="store_true")
    parser.add_argument("--pie", action="store_true")
    parser.add_argument("--runpath")
    parser.add_argument("executable")
    args = parser.parse_args()

    dump = subprocess.run([args.objdump, "-f", "-p", args.executable], stdout=subprocess.PIPE,
                          universal_newlines=True, check=True).stdout
    head, _, references = dump.partition("\nVersion References:\n")
    needs = sorted(set(re.findall(r"\bGLIBC_(\d+(?:\.\d+)+)\b", references)), key=version)
    interpreter = re.search(r"^\s*INTERP\s", head, re.M)
    libraries = re.findall(r"^\s*NEEDED\s+(\S+)", head, re.M)
    runpaths = re.findall(r"^\s*(?:RUNPATH|RPATH)\s+(\S+)", head, re.M)
    file_flags = re.search(r"flags 0x[0-9a-f]+:\n(.*)", head)
    position_independent = file_flags and "DYNAMIC" in file_flags.group(1).split(", ")
    print(f"{args.executable}: glibc versions {needs or 'none'}, libraries {libraries or 'none'}, "
          f"run path {runpaths or 'none'}, interpreter {'yes' if interpreter else 'none'}, "
          f"position-independent {'yes' if position_independent else 'no'}")

    failures = []
    if args.static:
        for what, found in (("GLIBC_ version", needs), ("program interpreter", interpreter),
                            ("shared library", libraries), ("run path", runpaths)):
            if found:
                failures.append(f"fully static, yet it has a {what}")
        if args.pie and not position_independent:
            failures.append("linked -static-pie, yet not position-independent")
    if args.floor:
        if needs and version(needs[-1]) > version(args.floor):
            failures.append(f"needs glibc {needs[-1]}, newer than the build's floor {args.floor}")
        for document in args.stated_in:
            floor, problem = stated_floor(document)
            if problem or floor != args.floor:
                failures.append(problem or f"{document} states glibc {floor}, the build's floor is {args.floor}")
    if args.runpath is not None and runpaths != [args.runpath]:
        failures.append(f"run path {runpaths}, expected [{args.runpath!r}]")
    for failure in failures:
        print(f"FAIL: {failure}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
