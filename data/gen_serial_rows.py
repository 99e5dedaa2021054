#!/usr/bin/env python3
"""Turns a MAC-to-serial list (CSV) into the C++ rows compiled into MACtoSN.

Usage: gen_serial_rows.py LIST.csv OUTPUT.inc [--previous PREVIOUS.csv [--allowed ALLOWED.txt]]

The list: UTF-8 (a byte-order mark is fine), LF, CRLF or CR line ends, two
fields a row (MAC, serial) with RFC 4180 quoting, blank lines ignored, and an
optional header: a first row whose first field holds a word (two or more
letters in a row, one of them not A-F) and nothing MAC-like (six or more
hexadecimal digits, ":", "-" or "." in a row). No field is trimmed.

A row the tool could never answer correctly is refused as
`FILE:LINE: error: ...`; the run then fails and leaves no output behind:
- a MAC other than six upper-case hexadecimal pairs joined by ":", the only
  form the tool's byte-for-byte lookup can find;
- a row without exactly two fields;
- a serial that is empty, "0" (the tool's not-found answer), begins
  "Fail:Mac=" (its failure line), holds a control character, or is longer
  than 255 bytes;
- a file that is not UTF-8, holds a NUL byte, or is not readable as CSV
  (an unclosed quote, a field over 128 KiB); a list with no rows.
Oddities the tool copes with are reported as `FILE:LINE: warning: ...`: a
repeated MAC (the first row wins; an exact repeated row gets one warning),
a repeated serial, a serial holding an invisible character, and one with
characters other than A-Z, 0-9 and "-".

With --previous, the list the last release was built from is read by the
same rules, and every MAC of it that the list drops or answers with another
serial is an error too, unless the allowance file names it
(compare_serial_lists.py says how); the summary line then counts the MACs
added, dropped and changed.

The output is written only once the whole list has been accepted; the
summary line ends with the list's SHA-256.
"""

import codecs
import collections
import contextlib
import csv
import hashlib
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
LINE_END = re.compile(rb"\r\n?|\n")


def line_at(data, position):
    return len(LINE_END.findall(data, 0, position)) + 1


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


def c_literal(text):
    """A C++ string literal holding exactly the UTF-8 bytes of `text`."""
    out = []
    for byte in text.encode("utf-8"):
        char = chr(byte)
        if char in '"\\?':  # "?" too, so no "??" sequence can become a trigraph
            out.append("\\" + char)
        elif 0x20 <= byte < 0x7F:
            out.append(char)
        else:
            out.append(f"\\{byte:03o}")  # three octal digits end the escape unambiguously
    return '"' + "".join(out) + '"'


def comment_text(name):
    """`name` as ASCII that cannot end or continue a // comment: any byte a file
    name may hold outside printable ASCII, and the backslash, as \\xNN."""
    return "".join(chr(b) if 0x20 <= b < 0x7F and b != 0x5C else f"\\x{b:02x}" for b in os.fsencode(name))


def render(rows, list_name, list_digest):
    # The serials are packed one after another in row order, so the rows cost
    # what their serials weigh, whatever the longest one.
    lines = [
        f"// Generated by gen_serial_rows.py from {comment_text(list_name)}. Do not edit: change the list and rebuild.",
        f"// {len(rows)} rows in list order; for a repeated MAC the first row wins. Row i's serial is the",
        "// serialLength bytes of serialText that follow the serials of rows 0 to i-1.",
        "[[gnu::section(\".rodata.serial_list\")]] constexpr SerialRow serialRows[] = {",
    ]
    for mac, serial in rows:
        lines.append(f"    {{\"{mac}\", {len(serial.encode('utf-8'))}}},")
    lines += [
        "};",
        "#pragma GCC diagnostic push",
        "#pragma GCC diagnostic ignored \"-Woverlength-strings\"",
        "constexpr char serialText[] =",
    ]
    lines += [f"    {c_literal(serial)}" for _, serial in rows]
    lines[-1] += ";"
    lines += [
        "#pragma GCC diagnostic pop",
        "// Never read: it lets `strings` tell which list an executable was built from. It",
        "// shares the rows' section, so the linker keeps it wherever it keeps the rows.",
        f"[[gnu::used, gnu::section(\".rodata.serial_list\")]] constexpr char serialListFingerprint[] =",
        f"    \"MACtoSN list sha256={list_digest} rows={len(rows)}\";",
    ]
    return "\n".join(lines) + "\n"


def say(stream, path, text):
    """Writes `path` + `text` as a line: the path's own bytes and UTF-8 text,
    whatever the locale or Python version."""
    if stream is None:  # started with the descriptor closed
        return
    stream.flush()
    # A path within the text is written as its own bytes too.
    stream.buffer.write(os.fsencode(path) + text.encode("utf-8", "surrogateescape") + b"\n")
    stream.buffer.flush()


def remove_if_present(path):
    try:
        os.remove(path)
    except FileNotFoundError:
        pass


def write_table(path, text):
    """Writes `text` to `path`, which appears only once complete."""
    temporary = path + ".tmp"
    try:
        with open(temporary, "w", encoding="ascii", newline="\n") as out:
            out.write(text)
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.remove(temporary)
        raise


def options(args, names):
    """`args` without the `NAME VALUE` options of `names`, and their values
    (None for one not given); None when an option lacks its value."""
    values = dict.fromkeys(names)
    rest = []
    args = iter(args)
    for arg in args:
        if arg in values and values[arg] is None:
            values[arg] = next(args, None)
            if values[arg] is None:
                return None
        else:
            rest.append(arg)
    return rest, values


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


def main(argv):
    parsed = options(argv[1:], ["--previous", "--allowed"])
    if parsed is None or len(parsed[0]) != 2 or (parsed[1]["--allowed"] and not parsed[1]["--previous"]):
        print("usage: gen_serial_rows.py LIST.csv OUTPUT.inc [--previous PREVIOUS.csv [--allowed ALLOWED.txt]]",
              file=sys.stderr)
        return 2
    (list_path, output_path), values = parsed
    counts = {"error": 0, "warning": 0}
    report_at = reporter(counts)

    def report(line, kind, message):
        report_at(list_path, line, kind, message)

    # A stale table must not outlive a list that was refused.
    try:
        remove_if_present(output_path)
    except OSError as err:
        say(sys.stderr, output_path, f": error: cannot remove the old table: {err.strerror or err}")
        return 1
    try:
        checked = read_list(list_path, report)
    except OSError as err:
        say(sys.stderr, list_path, f": error: {err.strerror or err}")
        return 1
    compared = None
    if values["--previous"] is not None:
        # Only a comparison needs it: without one, this file runs alone.
        import compare_serial_lists
        compared = compare_serial_lists.against_previous(
            list_path, None if checked.errors else checked.answers, values["--previous"], values["--allowed"],
            report_at)
    errors, warnings = counts["error"], counts["warning"]
    if errors:
        against = f"; {compared}" if compared else ""
        say(sys.stderr, list_path, f": {errors} error{'s' * (errors != 1)}{against}; no table written")
        return 1

    digest = hashlib.sha256(checked.data).hexdigest()
    try:
        write_table(output_path, render(checked.rows, os.path.basename(list_path), digest))
    except OSError as err:
        say(sys.stderr, output_path, f": error: cannot write the table: {err.strerror or err}")
        return 1
    say(sys.stdout, list_path, ": " + summary(checked, digest, warnings, compared))
    return 0


if __name__ == "__main__":
    # The comparison imports this file by name: it gets the running copy
    # rather than a second one.
    sys.modules.setdefault("gen_serial_rows", sys.modules[__name__])
    sys.exit(main(sys.argv))
