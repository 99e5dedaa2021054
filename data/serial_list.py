#!/usr/bin/env python3
"""Reads and checks a MAC-to-serial list as the tool's table takes it.

data/README.md says what a list may hold, which first row is a header, and
every error and warning; this module is where those rules live. The
generator (gen_serial_rows.py) and the comparison (compare_serial_lists.py)
both read lists through read_list, so they agree on every row.
"""

import codecs
import collections
import csv
import io
import os
import re
import sys
import unicodedata

# The only form the tool's lookup can ever match: the lookup compares bytes.
TABLE_MAC = re.compile(r"[0-9A-F]{2}(?::[0-9A-F]{2}){5}")
# A header names its columns, so its first field holds a word; a mistyped MAC
# holds at most a stray letter or two between hexadecimal digits and separators.
WORD = re.compile(r"[A-Za-z]{2,}")
MAC_LIKE = re.compile(r"[0-9A-Fa-f:.-]{6,}")
PLAIN_SERIAL = re.compile(r"[A-Z0-9-]+")
NOT_FOUND_SENTINEL = "0"
FAILURE_PREFIX = "Fail:Mac="
# The row stores a serial's length in one byte.
MAX_SERIAL_BYTES = 255
SHOWN_FIELD_CHARS = 40
# Findings shown of each kind before one line counts the rest.
SHOWN_PER_KIND = 20
# Unicode 3.2 calls it a dash; it became a format character, invisible but at a line break.
SOFT_HYPHEN = "\u00ad"


class ListError(Exception):
    """A fault after which the rest of the list cannot be read reliably."""

    def __init__(self, line, message):
        super().__init__(message)
        self.line = line


def shown(text):
    """A field quoted on one line of a message, every character that does not
    print escaped."""
    cut = text[:SHOWN_FIELD_CHARS]
    return '"' + "".join(map(escaped, cut)) + '"' + ("..." if len(text) > SHOWN_FIELD_CHARS else "")


def escaped(char):
    code = ord(char)
    if char in '"\\':
        return "\\" + char
    if printable(char):
        return char
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}" if code < 0x10000 else f"\\U{code:08x}"


def printable(char):
    """As str.isprintable, but by the one Unicode version every Python carries
    (3.2), so that every Python words a message alike."""
    return char == " " or (unicodedata.ucd_3_2_0.category(char)[0] not in "CZ" and char != SOFT_HYPHEN)


def invisible(char):
    """A character that shows as nothing or as a plain space: in a serial,
    almost surely a copy-and-paste accident."""
    return char != " " and (unicodedata.ucd_3_2_0.category(char) in ("Cf", "Zs", "Zl", "Zp") or char == SOFT_HYPHEN)


def is_control(char):
    code = ord(char)
    return code < 0x20 or 0x7F <= code <= 0x9F


# Where the CSV reader ends a line: reading with newline="" it ends one at
# each LF, CRLF and lone CR.
LINE_END = re.compile(r"\r\n?|\n")


def line_at(data, position):
    """The line of byte `position` of `data`; Latin-1 keeps every byte's place."""
    return len(LINE_END.findall(data[:position].decode("latin-1"))) + 1


def decode(data):
    body = data[len(codecs.BOM_UTF8):] if data.startswith(codecs.BOM_UTF8) else data
    try:
        text = body.decode("utf-8")
    except UnicodeDecodeError as err:
        bad = len(data) - len(body) + err.start
        raise ListError(line_at(data, bad), f"not UTF-8: byte 0x{data[bad]:02X} does not begin a valid character") from None
    # Python's CSV reader refuses a NUL only before 3.11, and with its own words:
    # every version must say the same.
    nul = data.find(b"\0")
    if nul >= 0:
        raise ListError(line_at(data, nul), "a NUL byte, which no text list holds (saved as UTF-16?)")
    return text


def read_rows(text):
    """Yields (line, fields) for every row that is not blank."""
    reader = csv.reader(io.StringIO(text, newline=""), strict=True)
    line = 1
    while True:
        try:
            fields = next(reader)
        except StopIteration:
            return
        except csv.Error as err:
            hint = " (a quote is never closed)" if "unexpected end of data" in str(err) else ""
            raise ListError(line, f"unreadable CSV in the row starting here: {err}{hint}") from None
        if fields:
            yield line, fields
        line = reader.line_num + 1


def serial_problem(serial):
    """Why the tool could not store this serial, or None."""
    if serial == "":
        return "the serial is empty"
    if serial == NOT_FOUND_SENTINEL:
        return 'the serial "0" would be reported as not found'
    if serial.startswith(FAILURE_PREFIX):
        return f"the serial {shown(serial)} begins with \"{FAILURE_PREFIX}\" and would read as a failure"
    controls = [c for c in serial if is_control(c)]
    if controls:
        return f"the serial {shown(serial)} holds the control character U+{ord(controls[0]):04X}"
    size = len(serial.encode("utf-8"))
    if size > MAX_SERIAL_BYTES:
        return f"the serial is {size} bytes long; at most {MAX_SERIAL_BYTES} fit"
    return None


def is_header(first_field):
    """Whether a first row is plainly a header. Anything else is checked as a
    row: a header taken for a row is refused loudly, a row taken for a header
    would be dropped without a word."""
    has_word = any(not set(word) <= set("ABCDEFabcdef") for word in WORD.findall(first_field))
    return has_word and not MAC_LIKE.search(first_field)


def check_list(text, report):
    """The accepted rows, in list order; whether a header was skipped; and the
    row that answers each MAC, as {mac: (line, serial)}.

    `report(line, kind, message)` receives every error and warning.
    """
    rows = []
    first_row_of_mac = {}
    first_line_of_serial = {}
    header_skipped = False
    for index, (line, fields) in enumerate(read_rows(text)):
        if index == 0 and is_header(fields[0]):
            header_skipped = True
            continue
        if len(fields) != 2:
            hint = ""
            if len(fields) == 1 and (";" in fields[0] or "\t" in fields[0]):
                hint = " (fields must be separated by commas, not semicolons or tabs)"
            report(line, "error", f"expected 2 fields (MAC, serial), found {len(fields)}{hint}")
            continue
        mac, serial = fields
        if not TABLE_MAC.fullmatch(mac):
            report(line, "error", f"the MAC {shown(mac)} is not six upper-case hexadecimal pairs joined by \":\"")
            continue
        problem = serial_problem(serial)
        if problem:
            report(line, "error", problem)
            continue
        first_line, first_serial = first_row_of_mac.setdefault(mac, (line, serial))
        rows.append((mac, serial))
        if first_line != line and first_serial == serial:
            # Everything else was said of the first one.
            report(line, "warning", f"the row repeats line {first_line} exactly")
            continue
        if first_line != line:
            report(line, "warning", f"the MAC {mac} repeats line {first_line}; the row of line {first_line} wins")
        if serial in first_line_of_serial:
            report(line, "warning", f"the serial {shown(serial)} repeats line {first_line_of_serial[serial]}")
        else:
            first_line_of_serial[serial] = line
        hidden = [c for c in serial if invisible(c)]
        if hidden:
            report(line, "warning", f"the serial {shown(serial)} holds the invisible character U+{ord(hidden[0]):04X}")
        elif not PLAIN_SERIAL.fullmatch(serial):
            report(line, "warning", f"the serial {shown(serial)} has characters other than A-Z, 0-9 and \"-\"")
    return rows, header_skipped, first_row_of_mac


CheckedList = collections.namedtuple("CheckedList", "data rows header_skipped answers errors")


def read_list(path, report):
    """The list at `path` as the table takes it, and how many errors it has;
    every fault goes to `report(line, kind, message)`. An unreadable file
    raises OSError."""
    with open(path, "rb") as source:
        data = source.read()
    errors = 0

    def counted(line, kind, message):
        nonlocal errors
        errors += kind == "error"
        report(line, kind, message)

    try:
        rows, header_skipped, answers = check_list(decode(data), counted)
    except ListError as err:
        counted(err.line, "error", str(err))
        return CheckedList(data, [], False, {}, errors)
    if not rows and not errors:
        counted(1, "error", "the list has no rows")
    return CheckedList(data, rows, header_skipped, answers, errors)


def say(stream, path, text):
    """Writes `path` + `text` as a line: the path's own bytes and UTF-8 text,
    whatever the locale or Python version."""
    if stream is None:  # started with the descriptor closed
        return
    stream.flush()
    # A path within the text is written as its own bytes too.
    stream.buffer.write(os.fsencode(path) + text.encode("utf-8", "surrogateescape") + b"\n")
    stream.buffer.flush()


def reporter(counts):
    """A `report(path, line, kind, message[, faults])` that writes a message
    on standard error (`line` None: one on the whole file) and counts the
    faults it stands for."""

    def report(path, line, kind, message, faults=1):
        counts[kind] += faults
        say(sys.stderr, path, ("" if line is None else f":{line}") + f": {kind}: {message}")

    return report


def summary(checked, digest, warnings, compared):
    """The summary line after the list's path. It ends with the digest,
    where other tools look for it."""
    header = ", header skipped" if checked.header_skipped else ""
    against = f"{compared}, " if compared else ""
    return (f"{len(checked.rows)} rows taken{header}, {warnings} warning{'s' * (warnings != 1)}, {against}"
            f"sha256={digest}")


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
