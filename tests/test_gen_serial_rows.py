#!/usr/bin/env python3
"""The generator's verdicts on small lists: what it refuses, warns about and
takes, alone and against a previous list, where the comparison's command line
must give the same report.

Usage: test_gen_serial_rows.py GENERATOR
"""

import codecs
import hashlib
import os
import re
import resource
import subprocess
import sys
import tempfile
import unittest

GENERATOR = None
# As the build runs it (-B), and without site-packages (-S), which it never
# needs: the interpreter then starts in half the time, over some hundred runs.
PYTHON_FLAGS = ["-B", "-S"]
GOOD = b"02:5E:A1:00:00:04,BV180100001\n"


def rows_from(first, last, serial="BV{}"):
    return b"".join(f"02:5E:A1:00:00:{n:02X},{serial.format(n)}\n".encode() for n in range(first, last + 1))


LETTERED = 8


def serials(*serials, lettered=LETTERED):
    """A list of `lettered` rows whose serials hold letters, then one row a
    serial of `serials`, quoted as an export quotes it."""
    return rows_from(1, lettered) + b"".join(
        b'02:5E:A1:01:%02X:%02X,"%s"\n' % (n // 64, n % 64 * 4, serial.replace('"', '""').encode())
        for n, serial in enumerate(serials))


def lines(first, count, lettered=LETTERED):
    """The lines of `serials`' rows `first` to `first + count - 1`, from 0."""
    return range(lettered + 1 + first, lettered + 1 + first + count)


def against(previous, allowed=None, **expected):
    """A case's setup: the list is compared with `previous`, allowing the MACs
    of `allowed`; `errors` when the count differs from the messages', and the
    summary's `compared` words."""
    return dict(previous=previous, allowed=allowed, **expected)


def counted(**expected):
    """A case's setup where messages were capped: the `errors` or `warnings`
    counted, and the `kinds` the summary names."""
    return dict(expected)


# (name, list bytes, expected messages in order, each as (line, kind, text the
#  message must contain) [, setup]); "list" or "table" for line: a message on
#  that whole file; ("previous", N) or ("allowed", N): on line N of that file.
REFUSED = [
    ("lower-case MAC", GOOD + b"02:5e:a1:00:00:08,BV180100002\n", [(2, "error", "upper-case")]),
    ("dashed MAC", GOOD + b"02-5E-A1-00-00-08,BV180100002\n", [(2, "error", "02-5E-A1-00-00-08")]),
    ("MAC with trailing space", GOOD + b"02:5E:A1:00:00:08 ,BV180100002\n", [(2, "error", "MAC")]),
    ("MAC without separators", GOOD + b"025EA1000008,BV180100002\n", [(2, "error", "MAC")]),
    ("one field", GOOD + b"02:5E:A1:00:00:08\n", [(2, "error", "found 1")]),
    ("three fields", GOOD + b"02:5E:A1:00:00:08,BV180100002,extra\n", [(2, "error", "found 3")]),
    ("semicolon-separated export", b"MAC;Serial\r\n02:5E:A1:00:00:04;BV1\r\n", [(2, "error", "separated by semicolons")]),
    ("quoted semicolon-separated export", b'"MAC";"Serial"\r\n"02:5E:A1:00:00:04";"BV1"\r\n',
     [(1, "error", "separated by semicolons")]),
    ("tab-separated export", b"02:5E:A1:00:00:04\tBV1\n", [(1, "error", "found 1 (the list seems separated by tabs")]),
    ("empty columns right of the serial", GOOD + b"02:5E:A1:00:00:08,BV2,,\n",
     [(2, "error", "found 4 (the 2 fields after the serial are empty")]),
    ("an empty column after the serial, many rows", rows_from(1, 25).replace(b"\n", b",\n"),
     [(n, "error", "found 3 (the 1 field after the serial is empty") for n in range(1, 21)]
     + [("list", "error", "5 more rows without two fields, not shown")], counted(errors=25)),
    ("exactly one finding past the cap", rows_from(1, 21).replace(b"\n", b",\n"),
     [(n, "error", "found 3") for n in range(1, 21)] + [("list", "error", ": 1 more row without two fields, not shown")],
     counted(errors=21)),
    ("a semicolon export of many rows", rows_from(1, 30).replace(b",", b";"),
     [(n, "error", "separated by semicolons") for n in range(1, 21)]
     + [("list", "error", "10 more rows without two fields, not shown")], counted(errors=30)),
    # What data tools wrote of a list, each from its defaults.
    ("index column, as pandas writes it", b",MAC Address,Serial Number\n0," + GOOD + b"1,02:5E:A1:00:00:08,BV2\n",
     [(n, "error", "found 3 (the list's first column numbers the rows") for n in (1, 2, 3)]),
    ("row names, as R writes them", b'"","MAC.Address","Serial.Number"\n"1","02:5E:A1:00:00:04","BV1"\n',
     [(n, "error", "found 3 (the list's first column numbers the rows") for n in (1, 2)]),
    ("a list on one line", b"MAC Address,Serial Number" + rows_from(1, 57).replace(b"\n", b""),
     [(1, "error", "found 59 (the row holds 57 MACs: the list's line ends were lost")]),
    ("trailing comma", GOOD + b"02:5E:A1:00:00:08,BV180100002,\n", [(2, "error", "found 3")]),
    ("empty serial", GOOD + b"02:5E:A1:00:00:08,\n", [(2, "error", 'empty (a data tool may have read "NA"')]),
    ("sentinel serial", GOOD + b"02:5E:A1:00:00:08,0\n", [(2, "error", '"0" would be reported as not found (a number')]),
    ("failure-looking serial", GOOD + b"02:5E:A1:00:00:08,Fail:Mac=1\n", [(2, "error", "Fail:Mac=")]),
    ("tab in serial", GOOD + b"02:5E:A1:00:00:08,BV\t1\n", [(2, "error", "U+0009")]),
    ("line end in quoted serial", GOOD + b'02:5E:A1:00:00:08,"BV\n1"\n', [(2, "error", "U+000A")]),
    ("line separator in MAC", GOOD + "02:5E:A1:00:00:08\u2028,BV2\n".encode(), [(2, "error", ':08\\u2028"')]),
    ("DEL in serial", GOOD + b"02:5E:A1:00:00:08,BV\x7f1\n", [(2, "error", "U+007F")]),
    ("NUL in serial", GOOD + b"02:5E:A1:00:00:08,BV\x001\n", [(2, "error", "a NUL byte")]),
    ("NUL in MAC", GOOD + b"02:5E:A1:00:00:0\x00,BV1\n", [(2, "error", "a NUL byte")]),
    ("UTF-16 export without byte-order mark", "MAC,Serial\r\n".encode("utf-16-le"),
     [(1, "error", "a NUL byte, which no text list holds (the file reads as UTF-16, little-endian without")]),
    ("UTF-16 big-endian export without byte-order mark", "MAC,Serial\r\n".encode("utf-16-be"),
     [(1, "error", "UTF-16, big-endian without")]),
    ("UTF-32 export without byte-order mark", "MAC,Serial\r\n".encode("utf-32-le"), [(1, "error", "UTF-32, little")]),
    ("UTF-32 export", "MAC,Serial\r\n".encode("utf-32"), [(1, "error", "not UTF-8 but UTF-32, little-endian")]),
    ("UTF-16 big-endian export", codecs.BOM_UTF16_BE + "MAC\n".encode("utf-16-be"), [(1, "error", "UTF-16, big")]),
    ("xlsx or ods file", b"PK\x03\x04\x14\x00\x06\x00" + bytes(200), [(1, "error", '.ods, a zip archive)')]),
    ("xls file", b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1" + bytes(200), [(1, "error", '(.xls): open it')]),
    ("serial too long", GOOD + b"02:5E:A1:00:00:08," + b"S" * 256 + b"\n", [(2, "error", "256 bytes")]),
    ("huge field", GOOD + b"02:5E:A1:00:00:08," + b"S" * 200000 + b"\n", [(2, "error", "field larger")]),
    ("lone quote", GOOD + b'02:5E:A1:00:00:08,"BV1\n02:5E:A1:00:00:0C,BV2\n', [(2, "error", "unreadable CSV")]),
    ("quote inside a field", GOOD + b'02:5E:A1:00:00:08,"BV"1"\n', [(2, "error", "unreadable CSV")]),
    ("not UTF-8", GOOD + b"\n02:5E:A1:00:00:08,BV\xff1\n", [(3, "error", "0xFF")]),
    ("Windows-1252 export", GOOD + b"02:5E:A1:00:00:08,S\xc9RIE\n",
     [(2, "error", 'not UTF-8: byte 0xC9 does not begin a valid character; it reads as Windows-1252 text, this line as '
                   '"02:5E:A1:00:00:08,SÉRIE": export')]),
    ("Mac Roman export", GOOD + b"02:5E:A1:00:00:08,S\x86RIE\n",
     [(2, "error", 'byte 0x86 does not begin a valid character; it reads as Mac Roman text, this line as '
                   '"02:5E:A1:00:00:08,SÜRIE": export')]),
    ("UTF-8 read as Latin-1", GOOD + "02:5E:A1:00:00:08,Ã\x89T\n".encode(),
     [(2, "error", 'U+0089 (it reads as UTF-8 text decoded as Latin-1: "ÉT"')]),
    ("UTF-16 export", "MAC,Serial\r\n".encode("utf-16"), [(1, "error", 'not UTF-8 but UTF-16, little-endian')]),
    ("binary junk", bytes(range(256)) * 64, [(3, "error", "byte 0x80")]),
    ("not UTF-8 after a byte-order mark", b"\xef\xbb\xbfMAC,Serial\n\xff2:5E:A1:00:00:08,BV2\n", [(2, "error", "0xFF")]),
    ("not UTF-8, CR line ends", GOOD.replace(b"\n", b"\r") * 2 + b"02:5E:A1:00:00:08,\xc9\r", [(3, "error", "0xC9")]),
    ("a line of nothing but NULs", GOOD + b"\x00" * 100000 + b"\n", [(2, "error", "a NUL byte")]),
    ("no rows", b"", [(1, "error", "no rows")]),
    ("header only", b"MAC,Serial\r\n\r\n", [(1, "error", "no rows")]),
    ("lower-case first row is no header", b"02:5e:a1:00:00:04,BV1\n" + GOOD, [(1, "error", "MAC")]),
    ("first MAC a digit short", b"02:5E:A1:00:00:4,BV1\n" + GOOD, [(1, "error", "MAC")]),
    ("first MAC after a space", b" 02:5E:A1:00:00:04,BV1\n", [(1, "error", "MAC")]),
    ("first MAC dotted", b"025E.A100.0004,BV1\n", [(1, "error", "MAC")]),
    ("first MAC spaced", b"02 5E A1 00 00 04,BV1\n", [(1, "error", "MAC")]),
    ("first MAC with a letter O for a zero", b"02:5E:AO:00:00:04,BV1\n", [(1, "error", "MAC")]),
    ("first MAC with two letter Os", b"02:5E:AO:OO:00:04,BVX\n" + GOOD, [(1, "error", "MAC")]),
    ("first MAC of letters, one mistyped", b"AB:CD:EF:AB:CD:EO,BVX\n" + GOOD, [(1, "error", "MAC")]),
    # A spreadsheet's error value or a word where the first MAC should be: no header.
    ("first MAC an error value", b"#VALUE!,BV180100001\n" + GOOD, [(1, "error", '"#VALUE!" is not')]),
    ("first MAC an error value, serial one too", b"#VALUE!,#NAME?\n" + GOOD, [(1, "error", '"#VALUE!" is not')]),
    ("first MAC a German error value", b"Err:502,PROTO017\n" + GOOD, [(1, "error", '"Err:502" is not')]),
    ("first MAC a word", b"TBD,BV180100001\n" + GOOD, [(1, "error", '"TBD" is not')]),
    ("first MAC unknown", b"unknown,P00172\n" + GOOD, [(1, "error", '"unknown" is not')]),
    ("first MAC after a second byte-order mark", "\ufeff\ufeff02:5E:A1:00:00:04,BV1\n".encode(), [(1, "error", "MAC")]),
    ("every bad row is named", b"MAC,Serial\n" + GOOD + b"bad,1\n\n02:5E:A1:00:00:08,\n02:5E:A1:00:00:0C\n",
     [(3, "error", "bad"), (5, "error", "empty"), (6, "error", "found 1")]),
    ("bad rows, then an unreadable one", b"bad,1\n" + GOOD + b'bad,2\n"02',
     [(1, "error", "bad"), (3, "error", "bad"), (4, "error", "never closed")]),
    ("list is a folder", b"", [("list", "error", "Is a directory")], "list is a folder"),
    ("no output folder", GOOD, [("table", "error", "cannot write the table: No such file")], "no output folder"),
    ("a folder where the table goes", GOOD, [("table", "error", "cannot remove the old table")], "output is a folder"),
    ("disk full while writing", GOOD, [("table", "error", "cannot write the table: File too large")], "disk full"),
    ("no report without its table", GOOD, [("report", "error", "cannot write the report: No such file")],
     "no report folder"),
    ("list cut short of the previous one", rows_from(1, 3),
     [(("previous", n), "error", f"drops the MAC 02:5E:A1:00:00:{n:02X}") for n in range(4, 24)]
     + [("previous", "error", "2 more dropped MACs")],
     against(rows_from(1, 25), errors=22, compared="0 added, 22 dropped, 0 changed")),
    ("one serial changed", rows_from(1, 2) + b"02:5E:A1:00:00:03,BV9\n",
     [(3, "error", '02:5E:A1:00:00:03 now answers "BV9" instead of "BV3" (line 4 of the')],
     against(b"MAC,Serial\n" + rows_from(1, 3), compared="0 added, 0 dropped, 1 changed")),
    ("row dropped in the middle", rows_from(1, 1) + rows_from(3, 3),
     [(("previous", 2), "error", '00:02, which answered "BV2"')],
     against(rows_from(1, 3), compared="0 added, 1 dropped, 0 changed")),
    ("serial column sorted on its own", rows_from(1, 3, "BV{}0"),
     [(n, "error", f'"BV{n}0" instead of "BV{4 - n}0"') for n in (1, 3)],
     against(b"02:5E:A1:00:00:01,BV30\n02:5E:A1:00:00:02,BV20\n02:5E:A1:00:00:03,BV10\n",
             compared="0 added, 0 dropped, 2 changed")),
    ("stale allowance", GOOD, [(("allowed", 1), "error", "02:5E:A1:00:00:04 is neither")],
     against(GOOD, b"02:5E:A1:00:00:04", compared="0 added, 0 dropped, 0 changed")),
    ("malformed allowance", GOOD, [(("allowed", 2), "error", 'found "02:5e:a1:00:00:08"'),
                                   (("previous", 2), "warning", "00:08")],
     against(GOOD + rows_from(8, 8), b"02:5E:A1:00:00:08 # scrapped\r\n\t02:5e:a1:00:00:08\r\n\r\n# RMA 12\r\n",
             compared="0 added, 1 dropped, 0 changed")),
    ("allowed change beside an accidental drop", rows_from(1, 1) + rows_from(3, 3, "BX{}"),
     [(("previous", 2), "error", "drops the MAC 02:5E:A1:00:00:02"), (2, "warning", "00:03 now answers \"BX3\"")],
     against(rows_from(1, 3), b"02:5E:A1:00:00:03\n", compared="0 added, 1 dropped, 1 changed")),
    ("rows added and dropped", rows_from(1, 1) + rows_from(3, 5),
     [(("previous", 2), "error", "drops the MAC 02:5E:A1:00:00:02")],
     against(rows_from(1, 3), compared="2 added, 1 dropped, 0 changed")),
    # Compared all the same, its first row would be a changed serial.
    ("previous list refused", GOOD, [(("previous", 2), "error", "empty")],
     against(rows_from(4, 4) + b"02:5E:A1:00:00:08,\n")),
    ("previous list refused many times", GOOD, [(("previous", n), "error", "empty") for n in range(1, 21)]
     + [("previous", "error", "1 more row whose serial the tool cannot store, not shown")],
     against(rows_from(1, 21, ""), errors=21)),
]

WARNED = [
    ("repeated MAC", GOOD + b"02:5E:A1:00:00:08,BV2\n02:5E:A1:00:00:04,BV3\n",
     [(3, "warning", 'repeats line 1 with another serial: the tool answers "BV180100001", from line 1, never "BV3"')]),
    ("repeated serial", GOOD + b"02:5E:A1:00:00:08,BV180100001\n", [(2, "warning", "repeats line 1")]),
    ("spreadsheet formula error", GOOD + b"02:5E:A1:00:00:08,#NAME?\n", [(2, "warning", "#NAME?")]),
    ("lower-case serial", GOOD + b"02:5E:A1:00:00:08,bv2\n", [(2, "warning", "A-Z, 0-9")]),
    ("repeated row", GOOD + b"02:5E:A1:00:00:08,BV2\n" + GOOD, [(3, "warning", "repeats line 1 exactly")]),
    ("zero-width space in serial", GOOD + "02:5E:A1:00:00:08,BV\u200b2\n".encode(),
     [(2, "warning", '"BV\\u200b2" holds the invisible character U+200B')]),
    ("soft hyphen in serial", GOOD + "02:5E:A1:00:00:08,BV\u00ad2\n".encode(),
     [(2, "warning", '"BV\\xad2" holds the invisible character U+00AD')]),
    # What spreadsheets made of plausible serials, in a list whose serials hold letters.
    ("numbers among serials with letters", serials("123", "100000", "45296", "4711001", "-5", "1 234", "8.15", "12.10",
                                                     lettered=20),
     [(n, "warning", "is a number, where this list's serials hold letters") for n in lines(0, 8, lettered=20)],
     counted(kinds="8 numbers where the serials hold letters")),
    ("scientific notation, dates, times, truth values", serials("1E+05", "1,00E+05", "01/05/24", "05.01.2024",
                                                               "2024-01-05", "3-Dec", "Dec-03", "12:03", "WAHR"),
     [(n, "warning", "notation") for n in lines(0, 2)] + [(n, "warning", "a date or time") for n in lines(2, 6)]
     + [(n, "warning", "truth value") for n in lines(8, 1)],
     counted(kinds="2 numbers in scientific notation, 6 dates or times, 1 truth value")),
    ("UTF-8 read as Windows-1252", serials("SÃ‰RIE-7", "Mâ€“1"),
     [(lines(0, 1)[0], "warning", 'as Windows-1252 (it would be "SÉRIE-7")'),
      (lines(1, 1)[0], "warning", 'as Windows-1252 (it would be "M–1")')]),
    ("error values", serials("#VALUE!", "#DIV/0!", "Err:502", "###"),
     [(n, "warning", "a spreadsheet's error value") for n in lines(0, 4)], counted(kinds="4 spreadsheet error values")),
    ("spaces at an end", serials(" BV1801", "BV1802 "), [(n, "warning", "begins or ends with a space") for n in lines(0, 2)]),
    ("leading zeros lost among numeric serials", rows_from(1, 3, "{:010d}") + b"02:5E:A1:00:01:00,4711001\n",
     [(4, "warning", "shorter than this list's other numeric serials (10 digits)")]),
    ("a last row cut short", GOOD + b"02:5E:A1:00:00:08,BV21", [(2, "warning", "it may have been cut short")]),
    ("no line end at the end", b"02:5E:A1:00:00:04,BV1", [(1, "warning", "does not end with a line end")]),
    ("many numbers", serials(*map(str, range(100, 125)), lettered=30),
     [(n, "warning", "is a number") for n in lines(0, 20, lettered=30)]
     + [("list", "warning", "5 more numbers where the serials hold letters, not shown")],
     counted(warnings=25, kinds="25 numbers where the serials hold letters")),
    ("serial with a character newer than some Pythons know", GOOD + "02:5E:A1:00:00:08,BV\U0001f970\n".encode(),
     [(2, "warning", '"BV\\U0001f970" has characters')]),
    ("allowed drop and change", rows_from(1, 1) + rows_from(3, 3, "BX{}"),
     [(("previous", 2), "warning", "drops the MAC 02:5E:A1:00:00:02"), (2, "warning", "00:03 now answers \"BX3\"")],
     against(rows_from(1, 3), b"02:5E:A1:00:00:03\n02:5E:A1:00:00:02\n", compared="0 added, 1 dropped, 1 changed")),
]

TAKEN = [
    ("plain", GOOD, 1, None),
    ("header", b"MAC Address,Serial Number\n" + GOOD, 1, "MAC Address,Serial Number"),
    ("header named like a spreadsheet's", b"Column1,Column2\n" + GOOD, 1, "Column1,Column2"),
    ("header in snake case", b"mac_address,serial\n" + GOOD, 1, "mac_address,serial"),
    ("header as R writes it", b'"MAC.Address","Serial.Number"\n' + GOOD, 1, "MAC.Address,Serial.Number"),
    ("header with dashes", b"mac-address,serial-number\n" + GOOD, 1, "mac-address,serial-number"),
    ("byte-order mark, no header", b"\xef\xbb\xbf" + GOOD, 1, None),
    ("byte-order mark, CRLF, quotes, blank lines",
     b'\xef\xbb\xbf"MAC","Serial"\r\n\r\n"02:5E:A1:00:00:04","BV1"\r\n02:5E:A1:00:00:08,BV2\r\n\r\n', 2, "MAC,Serial"),
    ("quoted fields", b'"02:5E:A1:00:00:04","BV-1"\n', 1, None),
    # Every shape of serial the maker's list holds, and numbers where all serials are numbers.
    ("the maker's serials", b"".join(b"02:5E:A1:00:00:%02X,%s\n" % (n * 4, serial) for n, serial in enumerate(
        [b"BV180100001", b"BR1744073", b"BVX180100001", b"BV2007-00123", b"RMA-000417", b"P00172", b"PROTO017"])),
     7, None),
    ("numeric serials of one length", rows_from(1, 3, "{:010d}"), 3, None),
    ("numeric serials and one with letters", rows_from(1, 9, "{:010d}") + b"02:5E:A1:00:01:00,BV1\n", 10, None),
    ("re-export of the previous list", b'\xef\xbb\xbf"mac","serial"\r\n"02:5E:A1:00:00:02","BV2"\r\n' + rows_from(1, 1),
     2, "mac,serial", against(b"MAC Address,Serial Number\n" + rows_from(1, 2), compared="0 added, 0 dropped, 0 changed")),
    # The previous list's first row for a MAC wins, and its warnings are not repeated.
    ("rows added only", rows_from(1, 3), 3, None,
     against(rows_from(1, 2) + rows_from(1, 1, "BX{}"), compared="1 added, 0 dropped, 0 changed")),
    ("previous list with more warnings than are shown", GOOD, 1, None,
     against(GOOD * 22, compared="0 added, 0 dropped, 0 changed")),
]


def messages(stderr):
    return [line for line in stderr.decode("utf-8", "surrogateescape").splitlines()
            if ": error: " in line or ": warning: " in line]


class Generator(unittest.TestCase):
    def run_generator(self, data, stale=False, name=b"list.csv", setup=None):
        """The run's result, the paths as messages spell them, and the table
        written (None if none). File names are bytes: any locale can write them.
        With a previous list, the comparison's command line must agree. The
        report must hold every message, none capped, then the closing line."""
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        folder = os.fsencode(folder.name)
        source = os.path.join(folder, name)
        output = os.path.join(folder, b"missing" if setup == "no output folder" else b"", b"serial_rows.inc")
        files = {"list": source, "table": output,
                 "report": os.path.join(folder, b"missing" if setup == "no report folder" else b"", b"report.txt")}
        if setup == "list is a folder":
            os.mkdir(source)
        else:
            with open(source, "wb") as out:
                out.write(data)
        if setup == "output is a folder":
            os.mkdir(output)
        elif stale and not isinstance(setup, str):
            with open(output, "w") as out:
                out.write("stale")
        options = []
        for key in ("previous", "allowed") if isinstance(setup, dict) else ():
            if setup.get(key) is None:
                continue
            files[key] = os.path.join(folder, key.encode())
            with open(files[key], "wb") as out:
                out.write(setup[key])
            options += [b"--" + key.encode(), files[key]]
        # Room for the report, not for the table.
        limit = (lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (800, 800))) if setup == "disk full" else None
        python = [os.fsencode(sys.executable)] + PYTHON_FLAGS
        if stale and setup != "no report folder":
            with open(files["report"], "w") as out:
                out.write("stale")
        result = subprocess.run(python + [os.fsencode(GENERATOR), source, output, b"--report", files["report"]] + options,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60, preexec_fn=limit)
        report = self.check_report(result, files["report"], source) if setup != "no report folder" else None
        if options:
            comparer = os.path.join(os.path.dirname(os.fsencode(GENERATOR)), b"compare_serial_lists.py")
            reviewed = os.path.join(folder, b"review.txt")
            review = subprocess.run(python + [comparer, files["previous"], source, b"--report", reviewed] + options[2:],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
            self.assertEqual((review.returncode, messages(review.stderr.replace(reviewed, files["report"]))),
                             (result.returncode, messages(result.stderr)))
            self.assertEqual(self.check_report(review, reviewed, source)[:-1], report[:-1])
        rows = None
        if os.path.isfile(output):
            with open(output, "rb") as inc:
                rows = inc.read()
        self.assertEqual([f for f in os.listdir(folder) if f.endswith(b".tmp")], [], "a partial table was left")
        paths = {key: path.decode("utf-8", "surrogateescape") for key, path in files.items()}
        return result, paths, rows

    def check_report(self, result, path, source):
        """The report's lines: every message shown, and those that a "not
        shown" line counts, in order, then the closing line, as shown. The
        list's path, which may hold a line end, is read as LIST."""
        with open(path, "rb") as report:
            report = report.read().replace(source, b"LIST").decode("utf-8", "surrogateescape").splitlines()
        closing = (result.stdout or result.stderr).replace(source, b"LIST").decode("utf-8", "surrogateescape")
        self.assertEqual(report[-1:], closing.splitlines()[-1:])
        self.assertEqual(messages("\n".join(report[:-1]).encode("utf-8", "surrogateescape")), report[:-1])
        shown, more = [], 0
        for message in messages(result.stderr.replace(source, b"LIST")):
            counted = re.search(r": (?:error|warning): (\d+) more .*, not shown; every message is in (.*)$", message)
            if counted:
                self.assertEqual(counted.group(2), path.decode("utf-8", "surrogateescape"), message)
                more += int(counted.group(1))
            else:
                shown.append(message)
        self.assertEqual(len(report) - 1, len(shown) + more, "the report holds other messages than the screen counts")
        kept = iter(report)
        self.assertTrue(all(message in kept for message in shown), "a message shown is not in the report, in order")
        return report

    def assert_messages(self, result, paths, expected):
        found = messages(result.stderr)
        self.assertEqual(len(found), len(expected), result.stderr.decode("utf-8", "surrogateescape"))
        for message, (line, kind, text) in zip(found, expected):
            file, number = line if isinstance(line, tuple) else ("list", line)
            where = paths.get(line) or f"{paths[file]}:{number}"
            self.assertTrue(message.startswith(f"{where}: {kind}: "), message)
            self.assertIn(text, message)

    def test_refused(self):
        for name, data, expected, *setup in REFUSED:
            setup = setup[0] if setup else None
            with self.subTest(name):
                result, paths, rows = self.run_generator(data, stale=True, setup=setup)
                self.assertEqual(result.returncode, 1)
                self.assertIsNone(rows, "a refused list must leave no table behind")
                self.assert_messages(result, paths, expected)
                self.assertEqual(result.stdout, b"")
                if not isinstance(setup, str):
                    errors = (setup or {}).get("errors") or sum(kind == "error" for _, kind, _ in expected)
                    compared = (setup or {}).get("compared")
                    compared = f"; against {paths['previous']}: {compared}" if compared else ""
                    self.assertTrue(result.stderr.endswith(f": {errors} error{'s' * (errors != 1)}{compared}; no table "
                                                           f"written; every message is in {paths['report']}\n".encode()),
                                    result.stderr)

    def test_warned(self):
        for name, data, expected, *setup in WARNED:
            with self.subTest(name):
                result, paths, rows = self.run_generator(data, setup=setup[0] if setup else None)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assert_messages(result, paths, expected)
                setup = setup[0] if setup else {}
                warnings = setup.get("warnings", len(expected))
                self.assertIn(f", {warnings} warning{'s' * (warnings != 1)}".encode(), result.stdout)
                if "kinds" in setup:
                    self.assertIn(f" warnings ({setup['kinds']}), ".encode(), result.stdout)
                if "compared" in setup:
                    self.assertIn(f"{setup['compared']}, every message is in {paths['report']}, sha256=".encode(),
                                  result.stdout)

    def test_taken(self):
        for name, data, count, header, *setup in TAKEN:
            setup = setup[0] if setup else None
            with self.subTest(name):
                result, paths, rows = self.run_generator(data, setup=setup)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stderr, b"")
                compared = f"against {paths['previous']}: {setup['compared']}, " if setup else ""
                header = f', header "{header}" skipped' if header else ""
                summary = (f"{paths['list']}: {count} rows taken{header}, 0 warnings, {compared}"
                           f"every message is in {paths['report']}, sha256={hashlib.sha256(data).hexdigest()}\n")
                self.assertEqual(result.stdout.decode("utf-8", "surrogateescape"), summary)
                self.assertEqual(rows.count(b'    {"02:5E:A1:'), count)
                if setup:
                    self.assertEqual(rows, self.run_generator(data)[2], "the comparison changed the table")

    def test_literals_escape_every_byte_that_needs_it(self):
        data = '02:5E:A1:00:00:04,"q""b\\\\??/é"\n'.encode()
        result, _, rows = self.run_generator(data)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(b'{"02:5E:A1:00:00:04", 10},', rows)
        self.assertIn(b'    "q\\"b\\\\\\\\\\?\\?/\\303\\251";', rows)

    def test_any_file_name_gives_a_valid_table(self):
        for name, shown in [(b"liste s\xc3\xa9rie.csv", b"liste s\\xc3\\xa9rie.csv"),
                            (b"bad\xffname.csv", b"bad\\xffname.csv"),
                            (b"line\nend.csv", b"line\\x0aend.csv"),
                            (b"ends in \\", b"ends in \\x5c")]:
            with self.subTest(name):
                result, paths, rows = self.run_generator(GOOD, name=name)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertTrue(result.stdout.startswith(paths["list"].encode("utf-8", "surrogateescape") + b": 1 rows"))
                banner = rows.decode("ascii").splitlines()[0]
                self.assertEqual(banner, f"// Generated by gen_serial_rows.py from {shown.decode()}. "
                                 "Do not edit: change the list and rebuild.")

    def test_command_line(self):
        """Both scripts' usage errors exit 2; after "--" a list may be named like an option."""
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        for name in ("list.csv", "--previous"):
            with open(os.path.join(folder.name, name), "wb") as out:
                out.write(GOOD)
        comparer = os.path.join(os.path.dirname(GENERATOR), "compare_serial_lists.py")
        for script, args, status, said in [
                (GENERATOR, ["list.csv", "rows.inc", "--allowed", "list.csv"], 2, "--allowed needs --previous"),
                (GENERATOR, ["list.csv"], 2, "the following arguments are required"),
                (GENERATOR, ["list.csv", "rows.inc", "--prev", "list.csv"], 2, "unrecognized arguments"),
                (comparer, ["list.csv", "list.csv", "list.csv"], 2, "unrecognized arguments"),
                (GENERATOR, ["list.csv", "rows.inc", "--report", "./list.csv"], 2, "same file as LIST.csv"),
                (comparer, ["--report", "list.csv", "--", "--previous", "list.csv"], 2, "same file as NEW.csv"),
                (GENERATOR, ["--", "--previous", "rows.inc"], 0, "--previous: 1 rows taken"),
                (comparer, ["--allowed", os.devnull, "--", "--previous", "list.csv"], 0, "0 added, 0 dropped")]:
            with self.subTest(args=args):
                result = subprocess.run([sys.executable] + PYTHON_FLAGS + [os.path.abspath(script)] + args,
                                        cwd=folder.name, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertIn(said, (result.stderr if status else result.stdout).decode())

    def test_same_list_same_bytes(self):
        first = self.run_generator(GOOD * 1 + b"02:5E:A1:00:00:08,BV2\n")[2]
        second = self.run_generator(GOOD * 1 + b"02:5E:A1:00:00:08,BV2\n")[2]
        self.assertEqual(first, second)


if __name__ == "__main__":
    GENERATOR = sys.argv.pop(1)
    unittest.main(verbosity=1)
