"""Reads and checks a MAC-to-serial list as the tool's table takes it.

data/README.md says what a list may hold, which first row is a header, and
every error and warning; this module is where those rules live. The
generator (gen_serial_rows.py) and the comparison (compare_serial_lists.py)
both read lists through read_list, so they agree on every row.
"""

import codecs
import collections
import contextlib
import csv
import io
import os
import re
import sys
import unicodedata

import spreadsheet_damage

# The only form the tool's lookup can ever match: the lookup compares bytes.
TABLE_MAC = re.compile(r"[0-9A-F]{2}(?::[0-9A-F]{2}){5}")
# A header names its columns, so its first field holds a word; a mistyped MAC
# holds at most a stray letter or two between hexadecimal digits and separators.
WORD = re.compile(r"[A-Za-z]{2,}")
MAC_LIKE = re.compile(r"[0-9A-Fa-f:.-]{6,}")
# Such a run inside longer words, as "AC.Add" in R's "MAC.Address", is a
# column name's; one that stands alone or holds a digit is a MAC, however
# mistyped ("02:5E:AO:OO:00:04" stands alone nowhere).
LONE_MAC_LIKE = re.compile(r"(?<![A-Za-z])[0-9A-Fa-f:.-]{6,}(?![A-Za-z])")
DIGIT = re.compile(r"[0-9]")
# Column names hold no run of digits that long, and serials do.
SERIAL_DIGITS = re.compile(r"[0-9]{3}")
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
    wrong = spreadsheet_damage.not_csv_text(data)
    if wrong:
        raise ListError(1, wrong)
    body = data[len(codecs.BOM_UTF8):] if data.startswith(codecs.BOM_UTF8) else data
    try:
        text = body.decode("utf-8")
    except UnicodeDecodeError as err:
        bad = len(data) - len(body) + err.start
        line = line_at(data, bad)
        readings = " or as ".join(f"{name} text, this line as {shown(LINE_END.split(text)[line - 1])}"
                                  for name, text in spreadsheet_damage.single_byte_readings(body))
        hint = f"; it reads as {readings}: {spreadsheet_damage.EXPORT_AS_CSV}" if readings else ""
        raise ListError(line, f"not UTF-8: byte 0x{data[bad]:02X} does not begin a valid character{hint}") from None
    # Python's CSV reader refuses a NUL only before 3.11, and with its own words:
    # every version must say the same.
    nul = data.find(b"\0")
    if nul >= 0:
        wide = spreadsheet_damage.wide_encoding(data)
        hint = (f"the file reads as {wide} without a byte-order mark: {spreadsheet_damage.EXPORT_AS_CSV}" if wide
                else "saved as UTF-16?")
        raise ListError(line_at(data, nul), f"a NUL byte, which no text list holds ({hint})")
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
        return f"the serial is empty ({spreadsheet_damage.READ_AS_MISSING})"
    if serial == NOT_FOUND_SENTINEL:
        return f'the serial "0" would be reported as not found ({spreadsheet_damage.READ_AS_ZERO})'
    if serial.startswith(FAILURE_PREFIX):
        return f"the serial {shown(serial)} begins with \"{FAILURE_PREFIX}\" and would read as a failure"
    controls = [c for c in serial if is_control(c)]
    if controls:
        meant = spreadsheet_damage.misdecoded(serial)
        hint = (f" (it reads as UTF-8 text decoded as {meant[0]}: {shown(meant[1])}; open the list as UTF-8 and "
                f"{spreadsheet_damage.EXPORT_AS_CSV})" if meant else "")
        return f"the serial {shown(serial)} holds the control character U+{ord(controls[0]):04X}{hint}"
    size = len(serial.encode("utf-8"))
    if size > MAX_SERIAL_BYTES:
        return f"the serial is {size} bytes long; at most {MAX_SERIAL_BYTES} fit"
    return None


def is_header(fields):
    """Whether a first row is plainly a header. Anything else is checked as a
    row: a header taken for a row is refused loudly, a row taken for a header
    would be dropped without a word."""
    first = fields[0]
    has_word = any(not set(word) <= set("ABCDEFabcdef") for word in WORD.findall(first))
    mac_like = LONE_MAC_LIKE.search(first) or any(map(DIGIT.search, MAC_LIKE.findall(first)))
    return (has_word and not mac_like and not any(map(SERIAL_DIGITS.search, fields))
            and not any(map(spreadsheet_damage.ERROR_VALUE.fullmatch, fields)))


# (singular, plural) of each kind of finding, for the line that counts those
# not shown and for the summary.
BAD_MAC = ("row whose MAC is not in the table's form", "rows whose MAC is not in the table's form")
NOT_TWO_FIELDS = ("row without two fields", "rows without two fields")
BAD_SERIAL = ("row whose serial the tool cannot store", "rows whose serial the tool cannot store")
UNREADABLE = ("unreadable file", "unreadable files")
REPEATED_ROW = ("repeated row", "repeated rows")
REPEATED_MAC = ("repeated MAC", "repeated MACs")
REPEATED_SERIAL = ("repeated serial", "repeated serials")
INVISIBLE = ("serial with an invisible character", "serials with an invisible character")
UNUSUAL = ("serial with unusual characters", "serials with unusual characters")
NO_LAST_LINE_END = ("list without a line end at its end", "lists without a line end at their end")


def field_count_problem(fields, separator, numbered, first):
    """Why the row has not two fields; `numbered`: the list's first column
    seems to number its rows, of which this is the `first`."""
    hint = ""
    macs = sum(len(spreadsheet_damage.ANY_MAC.findall(field)) for field in fields) if len(fields) > 2 else 0
    if separator and len(fields) == 1:
        hint = f" (the list seems separated by {separator}: fields must be separated by commas)"
    elif macs > 2:
        hint = f" (the row holds {macs} MACs: {spreadsheet_damage.LINE_ENDS_LOST})"
    elif numbered and len(fields) == 3 and (spreadsheet_damage.WHOLE_NUMBER.fullmatch(fields[0]) or
                                            first and not fields[0]):
        hint = f" ({spreadsheet_damage.INDEX_COLUMN})"
    elif len(fields) > 2 and not any(fields[2:]):
        hint = (f" (the {len(fields) - 2} field{'s' * (len(fields) > 3)} after the serial "
                f"{'are' if len(fields) > 3 else 'is'} empty: delete the empty columns right of the serial)")
    return f"expected 2 fields (MAC, serial), found {len(fields)}{hint}"


def check_list(text, report):
    """The accepted rows, in list order; the header skipped (its fields, or
    None); and the row that answers each MAC, as {mac: (line, serial)}.

    `report(line, kind, what, message)` receives every error and warning;
    `what` is the kind of finding, as (singular, plural).
    """
    separator = spreadsheet_damage.separator(text)
    # Read whole first: whether a number stands out among the serials
    # depends on them all. Rows before an unreadable one are still checked.
    rows_read = []
    try:
        rows_read.extend(read_rows(text))
        unreadable = None
    except ListError as err:
        unreadable = err
    shapes = spreadsheet_damage.SerialShapes(fields[1] for _, fields in rows_read if len(fields) == 2)
    rows = []
    first_row_of_mac = {}
    first_line_of_serial = {}
    header = None
    numbered = None
    for index, (line, fields) in enumerate(rows_read):
        if index == 0 and is_header(fields):
            header = fields
            continue
        if len(fields) != 2:
            if numbered is None:  # only a list with such rows pays for the look
                numbered = spreadsheet_damage.numbers_rows([fields for _, fields in rows_read])
            report(line, "error", NOT_TWO_FIELDS, field_count_problem(fields, separator, numbered, index == 0))
            continue
        mac, serial = fields
        if not TABLE_MAC.fullmatch(mac):
            report(line, "error", BAD_MAC, f"the MAC {shown(mac)} is not six upper-case hexadecimal pairs joined by \":\"")
            continue
        problem = serial_problem(serial)
        if problem:
            report(line, "error", BAD_SERIAL, problem)
            continue
        first_line, first_serial = first_row_of_mac.setdefault(mac, (line, serial))
        rows.append((mac, serial))
        if first_line != line and first_serial == serial:
            # Everything else was said of the first one.
            report(line, "warning", REPEATED_ROW, f"the row repeats line {first_line} exactly")
            continue
        if first_line != line:
            # Both serials, so that a re-sort that changes the answer shows in the text.
            report(line, "warning", REPEATED_MAC,
                   f"the MAC {mac} repeats line {first_line} with another serial: the tool answers "
                   f"{shown(first_serial)}, from line {first_line}, never {shown(serial)}")
        if serial in first_line_of_serial:
            report(line, "warning", REPEATED_SERIAL,
                   f"the serial {shown(serial)} repeats line {first_line_of_serial[serial]}")
        else:
            first_line_of_serial[serial] = line
        plain = PLAIN_SERIAL.fullmatch(serial)
        hidden = [] if plain else [c for c in serial if invisible(c)]
        damaged = None if hidden else spreadsheet_damage.damage(serial, shapes, plain, shown)
        if hidden:
            report(line, "warning", INVISIBLE,
                   f"the serial {shown(serial)} holds the invisible character U+{ord(hidden[0]):04X}")
        elif damaged:
            report(line, "warning", *damaged)
        elif not plain:
            report(line, "warning", UNUSUAL, f"the serial {shown(serial)} has characters other than A-Z, 0-9 and \"-\"")
    if unreadable and separator:
        raise ListError(unreadable.line, f"{unreadable} (the list seems separated by {separator}: fields must be "
                        "separated by commas)")
    if unreadable:
        raise unreadable
    return rows, header, first_row_of_mac


CheckedList = collections.namedtuple("CheckedList", "data rows header answers errors")


def read_list(path, report):
    """The list at `path` as the table takes it, and how many errors it has.
    Every finding goes to a Reporter's `report`, through Capped. An
    unreadable file raises OSError."""
    with open(path, "rb") as source:
        data = source.read()
    batches = {}
    errors = 0

    def found(line, kind, what, message):
        nonlocal errors
        errors += kind == "error"
        if (kind, what) not in batches:
            batches[kind, what] = Capped(report, path, kind, what)
        batches[kind, what](line, message)

    try:
        rows, header, answers = check_list(decode(data), found)
        if rows and not data.endswith((b"\n", b"\r")):
            found(line_at(data, len(data)), "warning", NO_LAST_LINE_END,
                  "the list does not end with a line end, as every line of an export does: it may have been cut "
                  "short, and its last row with it")
    except ListError as err:
        found(err.line, "error", UNREADABLE, str(err))
        rows, header, answers = [], None, {}
    if not rows and not errors:
        found(1, "error", UNREADABLE, "the list has no rows")
    for batch in batches.values():
        batch.close()
    return CheckedList(data, rows, header, answers, errors)


def as_line(path, text):
    """`path` + `text` as a line: the path's own bytes and UTF-8 text,
    whatever the locale or Python version."""
    # A path within the text is written as its own bytes too.
    return os.fsencode(path) + text.encode("utf-8", "surrogateescape") + b"\n"


def say(stream, path, text):
    """Writes `path` + `text` as a line (as_line)."""
    if stream is None:  # started with the descriptor closed
        return
    stream.flush()
    stream.buffer.write(as_line(path, text))
    stream.buffer.flush()


def write_complete(path, data):
    """Writes `data` to `path`, which appears only once complete."""
    temporary = path + ".tmp"
    try:
        with open(temporary, "wb") as out:
            out.write(data)
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.remove(temporary)
        raise


def refuse_report_over(parser, report, files):
    """A usage error where `report` names one of `files`, {option: path}:
    writing it would destroy that file."""
    for option, path in files.items():
        try:
            same = report is not None and path is not None and os.path.samefile(report, path)
        except OSError:  # either is missing, so they are not one file
            same = False
        if same:
            parser.error(f"--report names the same file as {option}")


def number_of(count, what):
    """`count` findings of the kind `what`, (singular, plural), in words."""
    return f"{count} {what[count != 1]}"


class Reporter:
    """Counts every finding, by kind and, for warnings, by what they are;
    writes it on standard error, as `PATH[:LINE]: KIND: MESSAGE` (no line:
    one on the whole file), unless it is one past Capped's cap; and keeps
    it for the report file at `report_path`, if any, which holds them all."""

    def __init__(self, report_path=None):
        self.counts = {"error": 0, "warning": 0}
        self.warnings = {}
        self.report_path = report_path
        self.kept = [] if report_path is not None else None

    def __call__(self, path, line, kind, message, what=None, show=True):
        self.counts[kind] += 1
        if kind == "warning" and what:
            self.warnings[what] = self.warnings.get(what, 0) + 1
        text = ("" if line is None else f":{line}") + f": {kind}: {message}"
        if self.kept is not None:
            self.kept.append(as_line(path, text))
        if show:
            say(sys.stderr, path, text)

    def not_shown(self, path, kind, what, count):
        """The line that counts the `count` findings of `what` not shown."""
        where = f"; {self.named()}" if self.named() else ""
        say(sys.stderr, path, f": {kind}: {count} more {what[count != 1]}, not shown{where}")

    def named(self):
        """The words for a closing line that name the report file, or none."""
        return f"every message is in {self.report_path}" if self.report_path is not None else ""

    def write_report(self, path, closing):
        """Writes the report file, if any: every finding, then `path` +
        `closing`, the run's last line. False, with an error counted and
        said, if it cannot be written."""
        if self.report_path is None:
            return True
        try:
            write_complete(self.report_path, b"".join(self.kept) + as_line(path, closing))
        except OSError as err:
            self.counts["error"] += 1
            say(sys.stderr, self.report_path, f": error: cannot write the report: {err.strerror or err}")
            self.report_path = None  # so that the closing line names none
            return False
        return True


def summary(checked, digest, reporter, compared):
    """The summary line after the list's path: rows, header, the warnings of
    each kind, so that none scrolls past unseen, and the comparison. It ends
    with the digest, where other tools look for it."""
    header = f", header {shown(','.join(checked.header))} skipped" if checked.header else ""
    warnings = reporter.counts["warning"]
    kinds = ", ".join(number_of(count, what) for what, count in reporter.warnings.items())
    kinds = f" ({kinds})" if kinds else ""
    against = f"{compared}, " if compared else ""
    named = f"{reporter.named()}, " if reporter.named() else ""
    return (f"{len(checked.rows)} rows taken{header}, {warnings} warning{'s' * (warnings != 1)}{kinds}, {against}"
            f"{named}sha256={digest}")


class Capped:
    """Reports every finding of one kind at `path` to a Reporter, and shows
    the first SHOWN_PER_KIND, then one line that counts the rest, so that a
    cut list stays readable. `what` is the kind, as (singular, plural)."""

    def __init__(self, report, path, kind, what):
        self.report, self.path, self.kind, self.what = report, path, kind, what
        self.count = 0

    def __call__(self, line, message):
        self.count += 1
        self.report(self.path, line, self.kind, message, self.what, self.count <= SHOWN_PER_KIND)

    def close(self):
        rest = self.count - SHOWN_PER_KIND
        if rest > 0:
            self.report.not_shown(self.path, self.kind, self.what, rest)
