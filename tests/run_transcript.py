#!/usr/bin/env python3
"""Runs a command-line transcript (its format: tests/README.md) against MACtoSN, comparing standard output
and error byte for byte, and the exit status. Usage: run_transcript.py TRANSCRIPT TOOL [--emulator CMD]"""

import argparse, os, signal, subprocess, sys

FAILURE = b"Fail:Mac=%s Not Found In /ZOR/System/Config/BrenvicMACtoSerial.csv"
# Where a command line may send its standard output, written at its end.
REDIRECTS = (">closed-pipe ignoring SIGPIPE", ">closed-pipe", ">/dev/full", ">&-")

def evaluate(expression, where):
    """The value, a string or a list of them, strings as UTF-8 bytes."""
    try:
        value = eval(expression, {"__builtins__": {}}, {})  # the transcript is ours, not input
    except Exception as err:  # a broken transcript must name its line
        sys.exit(f"{where}: cannot read {expression!r}: {err}")
    if isinstance(value, list):
        return [item.encode("utf-8") if isinstance(item, str) else item for item in value]
    return value.encode("utf-8") if isinstance(value, str) else value

def parse(path):
    cases, heading = [], ""
    with open(path, encoding="utf-8") as source:
        for number, raw in enumerate(source, 1):
            line, where = raw.rstrip("\n"), f"{path}:{number}"
            if line.startswith("## "):
                heading = line[3:]
            elif line.startswith("$ MACtoSN"):
                command = line[len("$ MACtoSN"):].strip()
                redirect = next((r for r in REDIRECTS if command.endswith(r)), "")
                cases.append({"where": where, "heading": heading, "redirect": redirect, "stderr": b"", "stdout": None,
                              "status": None, "args": evaluate(f"[{command[:len(command) - len(redirect)]}]", where)})
            elif cases and line.startswith(("stdout ", "stderr ", "status ")):
                (key, value), case = line.split(" ", 1), cases[-1]
                if key == "status":
                    case["status"] = int(value)
                elif key == "stdout" and value == "fail":
                    case["stdout"] = FAILURE % (case["args"][0] if case["args"] else b"")
                else:
                    case[key] = evaluate(value, where)
            elif line.strip() and not line.startswith("# "):
                sys.exit(f"{where}: cannot read this line")
    for case in cases:
        if case["status"] is None or (case["stdout"] is None and not case["redirect"]):
            sys.exit(f"{case['where']}: a case needs its stdout and status")
    return cases

def shorten(data):
    return repr(data) if len(repr(data)) <= 200 else repr(data)[:120] + f"... ({len(data)} bytes)"

def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("transcript")
    parser.add_argument("tool")
    parser.add_argument("--emulator", default="", help="';'-separated command that runs the tool")
    args = parser.parse_args()
    command = [part for part in args.emulator.split(";") if part] + [args.tool]
    failed, cases = 0, parse(args.transcript)
    for case in cases:
        redirect, stdout, preexec = case["redirect"], subprocess.PIPE, None
        if redirect == ">/dev/full":
            stdout = os.open("/dev/full", os.O_WRONLY)
        elif redirect.startswith(">closed-pipe"):
            reader, stdout = os.pipe()
            os.close(reader)
        if redirect == ">&-":
            # close_fds with pass_fds=() and stdout closed in the child: fd 1 is not inherited.
            preexec = lambda: os.close(1)
        elif redirect.endswith("ignoring SIGPIPE"):
            preexec = lambda: signal.signal(signal.SIGPIPE, signal.SIG_IGN)
        try:
            result = subprocess.run(command + case["args"], stdin=subprocess.DEVNULL, stdout=stdout,
                                    stderr=subprocess.PIPE, preexec_fn=preexec)
        finally:
            if stdout != subprocess.PIPE:
                os.close(stdout)
        got = {"stdout": result.stdout or b"", "stderr": result.stderr, "status": result.returncode}
        problems = [f"{key} {shorten(got[key])}, expected {shorten(case[key])}"
                    for key in ("stdout", "stderr", "status") if case[key] is not None and got[key] != case[key]]
        if problems:
            failed += 1
            print(f"FAIL {case['where']} [{case['heading']}]\n  " + "\n  ".join(problems))
    print(f"{len(cases) - failed} passed, {failed} failed")
    return 1 if failed else 0

if __name__ == "__main__":
    sys.exit(main())
