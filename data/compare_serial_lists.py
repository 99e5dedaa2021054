#!/usr/bin/env python3
"""Compares a MAC-to-serial list with the list the last release was built from.

Rows are only ever added to the list, and a shipped device keeps its MAC and
serial for good, so a MAC the new list drops or answers with another serial
is almost always an accident that only the field would notice. Both lists
are read by serial_list.py, so they compare by what the tool answers: order,
quoting, line ends, a byte-order mark, the header and repeated rows after a
MAC's first make no difference. data/README.md says what is reported and
what the allowance file holds.

gen_serial_rows.py --previous runs this check before it writes a table.
Run on its own, for a release review, it writes no table and reports as the
generator does; it exits 0 when nothing was dropped or changed (allowed ones
aside) and both lists were accepted, 1 otherwise, 2 on a usage error.
"""

import argparse
import hashlib
import sys

from serial_list import (LINE_END, TABLE_MAC, Capped, ListError, Reporter, decode, read_list, refuse_report_over, say,
                         shown, summary)


class ErrorsOnly:
    """Passes a previous list's errors on to `report`: its warnings were the
    last release's to heed."""

    def __init__(self, report):
        self.report = report

    def __call__(self, path, line, kind, message, what=None, show=True):
        if kind == "error":
            self.report(path, line, kind, message, what, show)

    def not_shown(self, path, kind, what, count):
        if kind == "error":
            self.report.not_shown(path, kind, what, count)


def read_allowed(path, report):
    """The MACs the allowance file names, as {mac: line}."""
    try:
        with open(path, "rb") as source:
            text = decode(source.read())
    except OSError as err:
        report(path, None, "error", f"{err.strerror or err}")
        return {}
    except ListError as err:
        report(path, err.line, "error", str(err))
        return {}
    allowed = {}
    malformed = Capped(report, path, "error", ("malformed line", "malformed lines"))
    repeated = Capped(report, path, "warning", ("repeated MAC", "repeated MACs"))
    for line, entry in enumerate(LINE_END.split(text), 1):
        mac = entry.split("#", 1)[0].strip(" \t")
        if not mac:
            continue
        if not TABLE_MAC.fullmatch(mac):
            malformed(line, f"expected a MAC as the table writes it (six upper-case hexadecimal pairs joined "
                      f"by \":\") or a comment, found {shown(mac)}")
        elif mac in allowed:
            repeated(line, f"the MAC {mac} repeats line {allowed[mac]}")
        else:
            allowed[mac] = line
    malformed.close()
    repeated.close()
    return allowed


def by_line(answers):
    return sorted(answers.items(), key=lambda item: item[1][0])


def compare(previous_path, previous, new_path, new, allowed_path, allowed, report):
    """Reports what `new` drops or changes of `previous` (both {mac: (line,
    serial)}) and every stale allowance; returns the counts of MACs added,
    dropped and changed."""
    drop_errors = Capped(report, previous_path, "error", ("dropped MAC", "dropped MACs"))
    drop_warnings = Capped(report, previous_path, "warning", ("allowed drop", "allowed drops"))
    change_errors = Capped(report, new_path, "error", ("changed MAC", "changed MACs"))
    change_warnings = Capped(report, new_path, "warning", ("allowed change", "allowed changes"))

    def found(mac, line, message, error, warning):
        if mac in allowed:
            warning(line, f"{message} (allowed by line {allowed[mac]} of the allowance file)")
        else:
            error(line, message)

    dropped = [(mac, line, serial) for mac, (line, serial) in by_line(previous) if mac not in new]
    for mac, line, serial in dropped:
        found(mac, line, f"the new list drops the MAC {mac}, which answered {shown(serial)}",
              drop_errors, drop_warnings)
    changed = [(mac, line, serial) for mac, (line, serial) in by_line(new)
               if mac in previous and previous[mac][1] != serial]
    for mac, line, serial in changed:
        old_line, old_serial = previous[mac]
        found(mac, line, f"the MAC {mac} now answers {shown(serial)} instead of {shown(old_serial)} (line {old_line} "
              "of the previous list)", change_errors, change_warnings)
    for batch in (drop_errors, drop_warnings, change_errors, change_warnings):
        batch.close()

    touched = {mac for mac, _, _ in dropped + changed}
    stale = Capped(report, allowed_path, "error", ("stale allowance", "stale allowances"))
    for mac, line in sorted(allowed.items(), key=lambda item: item[1]):
        if mac not in touched:
            stale(line, f"the MAC {mac} is neither dropped nor changed against the previous list: remove the line, "
                  "so that it hides no later accident")
    stale.close()
    added = sum(mac not in previous for mac in new)
    return added, len(dropped), len(changed)


def against_previous(new_path, new, previous_path, allowed_path, report):
    """Checks the previous list and the allowance file (if any), then compares
    the new list's answers `new` with the previous list's, unless either list
    was refused (`new` is None). `report`, a Reporter, receives every
    message. Returns the comparison's words for the summary line, or None
    when nothing was compared."""
    try:
        previous = read_list(previous_path, ErrorsOnly(report))
    except OSError as err:
        report(previous_path, None, "error", f"{err.strerror or err}")
        previous = None
    allowed = read_allowed(allowed_path, report) if allowed_path is not None else {}
    if new is None or previous is None or previous.errors:
        return None
    added, dropped, changed = compare(previous_path, previous.answers, new_path, new, allowed_path, allowed, report)
    return f"against {previous_path}: {added} added, {dropped} dropped, {changed} changed"


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        prog="compare_serial_lists.py", allow_abbrev=False,
        description="Reports every MAC of the last release's list that a new list drops or answers differently.")
    parser.add_argument("previous", metavar="PREVIOUS.csv", help="the list the last release was built from")
    parser.add_argument("new", metavar="NEW.csv", help="the list to check")
    parser.add_argument("--allowed", metavar="ALLOWED.txt",
                        help="MACs whose drop or change is intended, one a line")
    parser.add_argument("--report", metavar="REPORT.txt",
                        help="where to write every message, none left out, and the closing line")
    args = parser.parse_args(argv)
    refuse_report_over(parser, args.report, {"PREVIOUS.csv": args.previous, "NEW.csv": args.new,
                                             "--allowed": args.allowed})
    return args


def main(argv):
    args = parse_arguments(argv[1:])
    previous_path, new_path = args.previous, args.new
    report = Reporter(args.report)
    try:
        new = read_list(new_path, report)
    except OSError as err:
        report(new_path, None, "error", f"{err.strerror or err}")
        new = None
    compared = against_previous(new_path, new.answers if new and not new.errors else None, previous_path,
                                args.allowed, report)

    def closing():
        errors = report.counts["error"]
        if errors:
            named = f"; {report.named()}" if report.named() else ""
            return sys.stderr, f": {errors} error{'s' * (errors != 1)}" + (f"; {compared}" if compared else "") + named
        return sys.stdout, ": " + summary(new, hashlib.sha256(new.data).hexdigest(), report, compared)

    # A report that cannot be written is an error more, which the closing line then counts.
    report.write_report(new_path, closing()[1])
    stream, text = closing()
    say(stream, new_path, text)
    return 1 if report.counts["error"] else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
