#!/usr/bin/env python3
"""What an executable asks of the device's C library, read with objdump. Usage: check_glibc_floor.py
--objdump=OBJDUMP (--floor=X.Y | --static [--pie]) [--runpath=PATH] EXECUTABLE"""

import argparse, re, subprocess, sys

def version(text):
    return tuple(int(part) for part in text.split("."))

def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--floor", help="the build's floor: no GLIBC_ version may be newer")
    parser.add_argument("--static", action="store_true", help="no interpreter, library, GLIBC_ version or run path")
    parser.add_argument("--pie", action="store_true", help="with --static: still position-independent")
    parser.add_argument("--runpath", help="exactly this run path")
    parser.add_argument("executable")
    args = parser.parse_args()
    head, _, references = subprocess.run([args.objdump, "-f", "-p", args.executable], universal_newlines=True,
                                         stdout=subprocess.PIPE, check=True).stdout.partition("\nVersion References:\n")
    needs = sorted(set(re.findall(r"\bGLIBC_(\d+(?:\.\d+)+)\b", references)), key=version)
    interpreter = re.search(r"^\s*INTERP\s", head, re.M)
    libraries = re.findall(r"^\s*NEEDED\s+(\S+)", head, re.M)
    runpaths = re.findall(r"^\s*(?:RUNPATH|RPATH)\s+(\S+)", head, re.M)
    file_flags = re.search(r"flags 0x[0-9a-f]+:\n(.*)", head)
    position_independent = file_flags and "DYNAMIC" in file_flags.group(1).split(", ")
    print(f"{args.executable}: glibc versions {needs or 'none'}, libraries {libraries or 'none'}, "
          f"run path {runpaths or 'none'}, interpreter {'yes' if interpreter else 'none'}, "
          f"position-independent {'yes' if position_independent else 'no'}")
    newest = needs[-1] if needs else "none"
    failures = [failure for found, failure in [
        *[(args.static and found, f"fully static, yet it has a {what}") for what, found in [("GLIBC_ version", needs),
          ("program interpreter", interpreter), ("shared library", libraries), ("run path", runpaths)]],
        (args.static and args.pie and not position_independent, "linked -static-pie, yet not position-independent"),
        (args.floor and needs and version(newest) > version(args.floor),
         f"needs glibc {newest}, newer than the build's floor {args.floor}"),
        (args.runpath is not None and runpaths != [args.runpath], f"run path {runpaths}, expected [{args.runpath!r}]"),
    ] if found]
    print("".join(f"FAIL: {failure}\n" for failure in failures), end="")
    return 1 if failures else 0

if __name__ == "__main__":
    sys.exit(main())
