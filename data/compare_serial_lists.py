#!/usr/bin/env python3
"""Compares a MAC-to-serial list with the list the last release was built from.

Usage: compare_serial_lists.py PREVIOUS.csv NEW.csv [--allowed ALLOWED.txt]

Rows are only ever added to the list, and a shipped device keeps its MAC and
serial for good, so a MAC the new list drops or answers with another serial
is almost always an accident that only the field would notice. Both lists
are read by gen_serial_rows.py's own reader, so they compare by what the
tool answers: order, quoting, line ends, a byte-order mark, the header and
repeated rows after a MAC's first make no difference.

- A MAC of the previous list that the new list drops is an error at the
  line of the previous list that answered it; a MAC the new list answers
  with another serial is an error at the new list's line that answers it.
  The first 20 of each kind are shown, in list order, then their count.
- The previous list is checked as the generator checks any list: its
  errors are reported at its own path and stop the run; its warnings were
  seen when it was built and are not repeated. When either list is
  refused, nothing is compared.
- The allowance file names the MACs whose drop or change is intended (a
  unit scrapped or re-labelled), which are then warnings: UTF-8, one MAC a
  line in the table's form, blank lines and text from "#" on ignored, and
  spaces or tabs around the MAC. A line that holds anything else is an
  error. An allowance that is neither dropped nor changed is an error too,
  so that stale ones cannot pile up and hide the next accident. A repeated
  MAC is a warning; its first line is the allowance.

gen_serial_rows.py --previous runs this check before it writes a table.
Run on its own, for a release review, it writes no table and reports as the
generator does; it exits 0 when nothing was dropped or changed (allowed ones
aside) and both lists were accepted, 1 otherwise, 2 on a usage error.
"""

import hashlib
import re
import sys

from gen_serial_rows import TABLE_MAC, ListError, decode, options, read_list, reporter, say, shown, summary

SHOWN_PER_KIND = 20
# Where the list's reader ends a line.
LINE_END = re.compile(r"\r\n?|\n")


class Capped:
    """Reports the first SHOWN_PER_KIND findings of one kind at `path`, then
    one line that counts the rest, so that a cut list stays readable."""

    def __init__(self, report, path, kind, what):
        self.report, self.path, self.kind, self.what = report, path, kind, what
        self.count = 0

    def __call__(self, line, message):
        self.count += 1
        if self.count <= SHOWN_PER_KIND:
            self.report(self.path, line, self.kind, message)

    def close(self):
        rest = self.count - SHOWN_PER_KIND
        if rest > 0:
            self.report(self.path, None, self.kind, f"{rest} more {self.what}, not shown", rest)


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
    malformed = Capped(report, path, "error", "malformed lines")
    repeated = Capped(report, path, "warning", "repeated MACs")
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
    drop_errors = Capped(report, previous_path, "error", "dropped MACs")
    drop_warnings = Capped(report, previous_path, "warning", "allowed drops")
    change_errors = Capped(report, new_path, "error", "changed MACs")
    change_warnings = Capped(report, new_path, "warning", "allowed changes")

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
    stale = Capped(report, allowed_path, "error", "stale allowances")
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
    was refused (`new` is None). `report(path, line, kind, message[, faults])`
    receives every message. Returns the comparison's words for the summary
    line, or None when nothing was compared."""

    def report_previous(line, kind, message):
        if kind == "error":
            report(previous_path, line, kind, message)

    try:
        previous = read_list(previous_path, report_previous)
    except OSError as err:
        report(previous_path, None, "error", f"{err.strerror or err}")
        previous = None
    allowed = read_allowed(allowed_path, report) if allowed_path is not None else {}
    if new is None or previous is None or previous.errors:
        return None
    added, dropped, changed = compare(previous_path, previous.answers, new_path, new, allowed_path, allowed, report)
    return f"against {previous_path}: {added} added, {dropped} dropped, {changed} changed"


def main(argv):
    parsed = options(argv[1:], ["--allowed"])
    if parsed is None or len(parsed[0]) != 2:
        print("usage: compare_serial_lists.py PREVIOUS.csv NEW.csv [--allowed ALLOWED.txt]", file=sys.stderr)
        return 2
    (previous_path, new_path), values = parsed
    counts = {"error": 0, "warning": 0}
    report = reporter(counts)
    try:
        new = read_list(new_path, lambda line, kind, message: report(new_path, line, kind, message))
    except OSError as err:
        report(new_path, None, "error", f"{err.strerror or err}")
        new = None
    compared = against_previous(new_path, new.answers if new and not new.errors else None, previous_path,
                                values["--allowed"], report)
    errors = counts["error"]
    if errors:
        say(sys.stderr, new_path, f": {errors} error{'s' * (errors != 1)}" + (f"; {compared}" if compared else ""))
        return 1
    say(sys.stdout, new_path, ": " + summary(new, hashlib.sha256(new.data).hexdigest(), counts["warning"], compared))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
