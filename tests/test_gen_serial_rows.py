#!/usr/bin/env python3
"""The generator's verdicts on small lists: what it refuses, warns about and takes, alone and against
a previous list, where the comparison must agree. Usage: test_gen_serial_rows.py GENERATOR"""

import hashlib, io, os, pathlib, re, resource, subprocess, sys, tempfile, unittest

GOOD = b"02:5E:A1:00:00:04,BV180100001\n"
SECOND = GOOD + b"02:5E:A1:00:00:08,"

def rows_from(first, last, serial="BV{}"):
    return b"".join(f"02:5E:A1:00:00:{n:02X},{serial.format(n)}\n".encode() for n in range(first, last + 1))

def serials(*serials, lettered=8):
    """`lettered` rows whose serials hold letters, then one row a serial of `serials`, quoted as an export quotes it."""
    return rows_from(1, lettered) + b"".join(b'02:5E:A1:01:%02X:%02X,"%s"\n' % (
        n // 64, n % 64 * 4, serial.replace('"', '""').encode()) for n, serial in enumerate(serials))

# (name, list bytes, messages in order, each (line, text) or (line, kind, text) if not the table's kind [, setup]).
#  Line "list", "table", "report": that whole file; ("previous", N), ("allowed", N): line N of it. A dict setup may hold
#  the `previous` list, `allowed` MACs, `compared` (added, dropped, changed), `errors`/`warnings` if capped, `kinds`.
REFUSED = [
    ("lower-case MAC", GOOD + b"02:5e:a1:00:00:08,BV180100002\n", [(2, "upper-case")]),
    ("dashed MAC", GOOD + b"02-5E-A1-00-00-08,BV180100002\n", [(2, "02-5E-A1-00-00-08")]),
    ("MAC with trailing space", GOOD + b"02:5E:A1:00:00:08 ,BV180100002\n", [(2, "MAC")]),
    ("MAC without separators", GOOD + b"025EA1000008,BV180100002\n", [(2, "MAC")]),
    ("one field", GOOD + b"02:5E:A1:00:00:08\n", [(2, "found 1")]),
    ("three fields", SECOND + b"BV180100002,extra\n", [(2, "found 3")]),
    ("semicolon-separated export", b"MAC;Serial\r\n02:5E:A1:00:00:04;BV1\r\n", [(2, "separated by semicolons")]),
    ("quoted semicolon export", b'"MAC";"Serial"\r\n"02:5E:A1:00:00:04";"BV1"\r\n', [(1, "separated by semicolons")]),
    ("tab-separated export", b"02:5E:A1:00:00:04\tBV1\n", [(1, "found 1 (the list seems separated by tabs")]),
    ("empty columns after the serial", SECOND + b"BV2,,\n", [(2, "found 4 (the 2 fields after the serial are empty")]),
    ("an empty column after the serial, many rows", rows_from(1, 25).replace(b"\n", b",\n"),
     [(n, "found 3 (the 1 field after the serial is empty") for n in range(1, 21)]
     + [("list", "5 more rows without two fields, not shown")], dict(errors=25)),
    ("exactly one finding past the cap", rows_from(1, 21).replace(b"\n", b",\n"), [(n, "found 3") for n in range(1, 21)]
     + [("list", ": 1 more row without two fields, not shown")], dict(errors=21)),
    ("a semicolon export of many rows", rows_from(1, 30).replace(b",", b";"), [(n, "separated by semicolons")
     for n in range(1, 21)] + [("list", "10 more rows without two fields, not shown")], dict(errors=30)),
    ("index column, as pandas writes it", b",MAC Address,Serial Number\n0," + GOOD + b"1,02:5E:A1:00:00:08,BV2\n",
     [(n, "found 3 (the list's first column numbers the rows") for n in (1, 2, 3)]),
    ("row names, as R writes them", b'"","MAC.Address","Serial.Number"\n"1","02:5E:A1:00:00:04","BV1"\n',
     [(n, "found 3 (the list's first column numbers the rows") for n in (1, 2)]),
    ("a list on one line", b"MAC Address,Serial Number" + rows_from(1, 57).replace(b"\n", b""),
     [(1, "found 59 (the row holds 57 MACs: the list's line ends were lost")]),
    ("trailing comma", SECOND + b"BV180100002,\n", [(2, "found 3")]),
    ("empty serial", SECOND + b"\n", [(2, 'empty (a data tool may have read "NA"')]),
    ("sentinel serial", SECOND + b"0\n", [(2, '"0" would be reported as not found (a number')]),
    ("failure-looking serial", SECOND + b"Fail:Mac=1\n", [(2, "Fail:Mac=")]),
    ("tab in serial", SECOND + b"BV\t1\n", [(2, "U+0009")]), ("DEL in serial", SECOND + b"BV\x7f1\n", [(2, "U+007F")]),
    ("line end in quoted serial", SECOND + b'"BV\n1"\n', [(2, "U+000A")]),
    ("line separator in MAC", GOOD + "02:5E:A1:00:00:08\u2028,BV2\n".encode(), [(2, ':08\\u2028"')]),
    ("NUL in MAC", GOOD + b"02:5E:A1:00:00:0\x00,BV1\n", [(2, "a NUL byte")]),
    ("UTF-16, no byte-order mark", "MAC,Serial\r\n".encode("utf-16-le"),
     [(1, "a NUL byte, which no text list holds (the file reads as UTF-16, little-endian without")]),
    ("UTF-16BE, no byte-order mark", "MAC,Serial\r\n".encode("utf-16-be"), [(1, "UTF-16, big-endian without")]),
    ("UTF-32, no byte-order mark", "MAC,Serial\r\n".encode("utf-32-le"), [(1, "UTF-32, little")]),
    ("UTF-32 export", "MAC,Serial\r\n".encode("utf-32"), [(1, "not UTF-8 but UTF-32, little-endian")]),
    ("UTF-16 big-endian export", b"\xfe\xff" + "MAC\n".encode("utf-16-be"), [(1, "UTF-16, big")]),
    ("xlsx or ods file", b"PK\x03\x04\x14\x00\x06\x00" + bytes(200), [(1, '.ods, a zip archive)')]),
    ("xls file", b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1" + bytes(200), [(1, '(.xls): open it')]),
    ("serial too long", SECOND + b"S" * 256 + b"\n", [(2, "256 bytes")]),
    ("huge field", SECOND + b"S" * 200000 + b"\n", [(2, "field larger")]),
    ("lone quote", SECOND + b'"BV1\n02:5E:A1:00:00:0C,BV2\n', [(2, "unreadable CSV")]),
    ("quote inside a field", SECOND + b'"BV"1"\n', [(2, "unreadable CSV")]),
    ("not UTF-8", GOOD + b"\n02:5E:A1:00:00:08,BV\xff1\n", [(3, "0xFF")]),
    ("Windows-1252 export", SECOND + b"S\xc9RIE\n", [(2, 'not UTF-8: byte 0xC9 does not begin a valid character; it '
     'reads as Windows-1252 text, this line as "02:5E:A1:00:00:08,SÉRIE": export')]),
    ("Mac Roman export", SECOND + b"S\x86RIE\n", [(2, 'byte 0x86 does not begin a valid character; it reads as Mac '
     'Roman text, this line as "02:5E:A1:00:00:08,SÜRIE": export')]),
    ("UTF-8 read as Latin-1", SECOND + "Ã\x89T\n".encode(), [(2, 'U+0089 (it reads as UTF-8 text decoded as Latin-1: '
     '"ÉT"')]),
    ("UTF-16 export", "MAC,Serial\r\n".encode("utf-16"), [(1, 'not UTF-8 but UTF-16, little-endian')]),
    ("binary junk", bytes(range(256)) * 64, [(3, "byte 0x80")]),
    ("NUL in serial", SECOND + b"BV\x001\n", [(2, "a NUL byte")]),
    ("not UTF-8 after a byte-order mark", b"\xef\xbb\xbfMAC,Serial\n\xff2:5E:A1:00:00:08,BV2\n", [(2, "0xFF")]),
    ("not UTF-8, CR line ends", GOOD.replace(b"\n", b"\r") * 2 + b"02:5E:A1:00:00:08,\xc9\r", [(3, "0xC9")]),
    ("a line of nothing but NULs", GOOD + b"\x00" * 100000 + b"\n", [(2, "a NUL byte")]),
    ("no rows", b"", [(1, "no rows")]), ("header only", b"MAC,Serial\r\n\r\n", [(1, "no rows")]),
    ("lower-case first row is no header", b"02:5e:a1:00:00:04,BV1\n" + GOOD, [(1, "MAC")]),
    ("first MAC a digit short", b"02:5E:A1:00:00:4,BV1\n" + GOOD, [(1, "MAC")]),
    ("first MAC after a space", b" 02:5E:A1:00:00:04,BV1\n", [(1, "MAC")]),
    ("first MAC dotted", b"025E.A100.0004,BV1\n", [(1, "MAC")]),
    ("first MAC spaced", b"02 5E A1 00 00 04,BV1\n", [(1, "MAC")]),
    ("first MAC with a letter O for a zero", b"02:5E:AO:00:00:04,BV1\n", [(1, "MAC")]),
    ("first MAC with two letter Os", b"02:5E:AO:OO:00:04,BVX\n" + GOOD, [(1, "MAC")]),
    ("first MAC of letters, one mistyped", b"AB:CD:EF:AB:CD:EO,BVX\n" + GOOD, [(1, "MAC")]),
    # A spreadsheet's error value or a word where the first MAC should be: no header.
    ("first MAC an error value", b"#VALUE!,BV180100001\n" + GOOD, [(1, '"#VALUE!" is not')]),
    ("first MAC an error value, serial one too", b"#VALUE!,#NAME?\n" + GOOD, [(1, '"#VALUE!" is not')]),
    ("first MAC a German error value", b"Err:502,PROTO017\n" + GOOD, [(1, '"Err:502" is not')]),
    ("first MAC a word", b"TBD,BV180100001\n" + GOOD, [(1, '"TBD" is not')]),
    ("first MAC unknown", b"unknown,P00172\n" + GOOD, [(1, '"unknown" is not')]),
    ("first MAC after a second byte-order mark", "\ufeff\ufeff02:5E:A1:00:00:04,BV1\n".encode(), [(1, "MAC")]),
    ("every bad row is named", b"MAC,Serial\n" + GOOD + b"bad,1\n\n02:5E:A1:00:00:08,\n02:5E:A1:00:00:0C\n",
     [(3, "bad"), (5, "empty"), (6, "found 1")]),
    ("bad rows, then unreadable", b"bad,1\n" + GOOD + b'bad,2\n"02', [(1, "bad"), (3, "bad"), (4, "never closed")]),
    ("list is a folder", b"", [("list", "Is a directory")], "list is a folder"),
    ("no output folder", GOOD, [("table", "cannot write the table: No such file")], "no output folder"),
    ("a folder where the table goes", GOOD, [("table", "cannot remove the old table")], "output is a folder"),
    ("disk full while writing", GOOD, [("table", "cannot write the table: File too large")], "disk full"),
    ("no report without its table", GOOD, [("report", "cannot write the report: No such file")], "no report folder"),
    ("list cut short of the previous one", rows_from(1, 3),
     [(("previous", n), f"drops the MAC 02:5E:A1:00:00:{n:02X}") for n in range(4, 24)]
     + [("previous", "2 more dropped MACs")], dict(previous=rows_from(1, 25), errors=22, compared=(0, 22, 0))),
    ("one serial changed", rows_from(1, 2) + b"02:5E:A1:00:00:03,BV9\n",
     [(3, '02:5E:A1:00:00:03 now answers "BV9" instead of "BV3" (line 4 of the')],
     dict(previous=b"MAC,Serial\n" + rows_from(1, 3), compared=(0, 0, 1))),
    ("row dropped in the middle", rows_from(1, 1) + rows_from(3, 3), [(("previous", 2), '00:02, which answered "BV2"')],
     dict(previous=rows_from(1, 3), compared=(0, 1, 0))),
    ("serials sorted alone", rows_from(1, 3, "BV{}0"), [(n, f'"BV{n}0" instead of "BV{4 - n}0"') for n in (1, 3)],
     dict(previous=b"02:5E:A1:00:00:01,BV30\n02:5E:A1:00:00:02,BV20\n02:5E:A1:00:00:03,BV10\n", compared=(0, 0, 2))),
    ("stale allowance", GOOD, [(("allowed", 1), "02:5E:A1:00:00:04 is neither")],
     dict(previous=GOOD, allowed=b"02:5E:A1:00:00:04", compared=(0, 0, 0))),
    ("allowance mistyped", GOOD, [(("allowed", 2), 'found "02:5e:a1:00:00:08"'), (("previous", 2), "warning", "00:08")],
     dict(previous=GOOD + rows_from(8, 8), compared=(0, 1, 0),
          allowed=b"02:5E:A1:00:00:08 # scrapped\r\n\t02:5e:a1:00:00:08\r\n\r\n# RMA 12\r\n")),
    ("allowed change beside an accidental drop", rows_from(1, 1) + rows_from(3, 3, "BX{}"),
     [(("previous", 2), "drops the MAC 02:5E:A1:00:00:02"), (2, "warning", "00:03 now answers \"BX3\"")],
     dict(previous=rows_from(1, 3), allowed=b"02:5E:A1:00:00:03\n", compared=(0, 1, 1))),
    ("added and dropped", rows_from(1, 1) + rows_from(3, 5), [(("previous", 2), "drops the MAC 02:5E:A1:00:00:02")],
     dict(previous=rows_from(1, 3), compared=(2, 1, 0))),
    # Compared all the same, its first row would be a changed serial.
    ("previous list refused", GOOD, [(("previous", 2), "empty")], dict(previous=rows_from(4, 4) + rows_from(8, 8, ""))),
    ("previous list refused many times", GOOD, [(("previous", n), "empty") for n in range(1, 21)]
     + [("previous", "1 more row whose serial the tool cannot store, not shown")],
     dict(previous=rows_from(1, 21, ""), errors=21)),
]

WARNED = [
    ("repeated MAC", SECOND + b"BV2\n02:5E:A1:00:00:04,BV3\n",
     [(3, 'repeats line 1 with another serial: the tool answers "BV180100001", from line 1, never "BV3"')]),
    ("repeated serial", SECOND + b"BV180100001\n", [(2, "repeats line 1")]),
    ("spreadsheet formula error", SECOND + b"#NAME?\n", [(2, "#NAME?")]),
    ("lower-case serial", SECOND + b"bv2\n", [(2, "A-Z, 0-9")]),
    ("repeated row", SECOND + b"BV2\n" + GOOD, [(3, "repeats line 1 exactly")]),
    ("zero-width space", SECOND + "BV\u200b2\n".encode(), [(2, '"BV\\u200b2" holds the invisible character U+200B')]),
    ("soft hyphen", SECOND + "BV\u00ad2\n".encode(), [(2, '"BV\\xad2" holds the invisible character U+00AD')]),
    # What spreadsheets made of plausible serials, in a list of lettered serials; the first is on line `lettered` + 1.
    ("numbers among serials with letters", serials("123", "100000", "45296", "4711001", "-5", "1 234", "8.15", "12.10",
     lettered=20), [(n, "is a number, where this list's serials hold letters") for n in range(21, 29)],
     dict(kinds="8 numbers where the serials hold letters")),
    ("scientific notation, dates, times, truth values", serials("1E+05", "1,00E+05", "01/05/24", "05.01.2024",
                                                               "2024-01-05", "3-Dec", "Dec-03", "12:03", "WAHR"),
     [(n, "notation") for n in (9, 10)] + [(n, "a date or time") for n in range(11, 17)] + [(17, "truth value")],
     dict(kinds="2 numbers in scientific notation, 6 dates or times, 1 truth value")),
    ("UTF-8 read as Windows-1252", serials("SÃ‰RIE-7", "Mâ€“1"),
     [(9, 'as Windows-1252 (it would be "SÉRIE-7")'), (10, 'as Windows-1252 (it would be "M–1")')]),
    ("error values", serials("#VALUE!", "#DIV/0!", "Err:502", "###"),
     [(n, "a spreadsheet's error value") for n in range(9, 13)], dict(kinds="4 spreadsheet error values")),
    ("spaces at an end", serials(" BV1801", "BV1802 "), [(n, "begins or ends with a space") for n in (9, 10)]),
    ("leading zeros lost among numeric serials", rows_from(1, 3, "{:010d}") + b"02:5E:A1:00:01:00,4711001\n",
     [(4, "shorter than this list's other numeric serials (10 digits)")]),
    ("a last row cut short", SECOND + b"BV21", [(2, "it may have been cut short")]),
    ("no line end at the end", b"02:5E:A1:00:00:04,BV1", [(1, "does not end with a line end")]),
    ("many numbers", serials(*map(str, range(100, 125)), lettered=30), [(n, "is a number") for n in range(31, 51)]
     + [("list", "5 more numbers where the serials hold letters, not shown")],
     dict(warnings=25, kinds="25 numbers where the serials hold letters")),
    ("serial with a character newer than some Pythons know", SECOND + "BV\U0001f970\n".encode(),
     [(2, '"BV\\U0001f970" has characters')]),
    ("allowed drop and change", rows_from(1, 1) + rows_from(3, 3, "BX{}"),
     [(("previous", 2), "drops the MAC 02:5E:A1:00:00:02"), (2, "00:03 now answers \"BX3\"")],
     dict(previous=rows_from(1, 3), allowed=b"02:5E:A1:00:00:03\n02:5E:A1:00:00:02\n", compared=(0, 1, 1))),
]

# (name, list bytes, rows taken, header skipped [, setup])
TAKEN = [
    ("plain", GOOD, 1, None), ("byte-order mark, no header", b"\xef\xbb\xbf" + GOOD, 1, None),
    ("header", b"MAC Address,Serial Number\n" + GOOD, 1, "MAC Address,Serial Number"),
    ("header named like a spreadsheet's", b"Column1,Column2\n" + GOOD, 1, "Column1,Column2"),
    ("header in snake case", b"mac_address,serial\n" + GOOD, 1, "mac_address,serial"),
    ("header as R writes it", b'"MAC.Address","Serial.Number"\n' + GOOD, 1, "MAC.Address,Serial.Number"),
    ("header with dashes", b"mac-address,serial-number\n" + GOOD, 1, "mac-address,serial-number"),
    ("byte-order mark, CRLF, quotes, blank lines",
     b'\xef\xbb\xbf"MAC","Serial"\r\n\r\n"02:5E:A1:00:00:04","BV1"\r\n02:5E:A1:00:00:08,BV2\r\n\r\n', 2, "MAC,Serial"),
    ("quoted fields", b'"02:5E:A1:00:00:04","BV-1"\n', 1, None),
    ("the maker's serials", b"".join(b"02:5E:A1:00:00:%02X,%s\n" % (n * 4, serial) for n, serial in enumerate(
        [b"BV180100001", b"BR1744073", b"BVX180100001", b"BV2007-00123", b"RMA-000417", b"P00172", b"PROTO017"])),
     7, None),
    ("numeric serials of one length", rows_from(1, 3, "{:010d}"), 3, None),
    ("numeric serials and one with letters", rows_from(1, 9, "{:010d}") + b"02:5E:A1:00:01:00,BV1\n", 10, None),
    ("re-export of the previous list", b'\xef\xbb\xbf"mac","serial"\r\n"02:5E:A1:00:00:02","BV2"\r\n' + rows_from(1, 1),
     2, "mac,serial", dict(previous=b"MAC Address,Serial Number\n" + rows_from(1, 2), compared=(0, 0, 0))),
    # The previous list's first row for a MAC wins, and its warnings are not repeated.
    ("rows added only", rows_from(1, 3), 3, None,
     dict(previous=rows_from(1, 2) + rows_from(1, 1, "BX{}"), compared=(1, 0, 0))),
    ("previous list with more warnings than are shown", GOOD, 1, None, dict(previous=GOOD * 22, compared=(0, 0, 0))),
]

def text(data):
    return data.decode("utf-8", "surrogateescape")

def messages(output):
    return [line for line in text(output).splitlines() if ": error: " in line or ": warning: " in line]

def run(script, args, preexec=None, apart=False, cwd=None):
    """`script`'s main on `args` in this interpreter; `apart`, or with `preexec` or `cwd`, in one of its own."""
    if apart or preexec or cwd:
        return subprocess.run([os.fsencode(arg) for arg in [sys.executable, "-B", "-S", script.__file__] + args],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60, preexec_fn=preexec, cwd=cwd)
    saved, streams = (sys.stdout, sys.stderr), (io.TextIOWrapper(io.BytesIO()), io.TextIOWrapper(io.BytesIO()))
    sys.stdout, sys.stderr = streams
    try:
        status = script.main([script.__file__] + [str(arg) for arg in args])
    finally:
        sys.stdout, sys.stderr = saved
    return subprocess.CompletedProcess(args, status, *(s.flush() or s.buffer.getvalue() for s in streams))

class Generator(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)

    def run_generator(self, data, setup=None, name=b"list.csv", apart=False):
        """The result, the paths as messages spell them, and the table written (None if none); a name is bytes."""
        folder = pathlib.Path(tempfile.mkdtemp(dir=self.folder.name))
        files = {"list": folder / os.fsdecode(name),
                 "table": folder / ("missing" * (setup == "no output folder")) / "rows.inc",
                 "report": folder / ("missing" * (setup == "no report folder")) / "report.txt"}
        for key in {"previous", "allowed"}.intersection(setup if isinstance(setup, dict) else ()):
            files[key] = folder / key
            files[key].write_bytes(setup[key])
        files["list"].mkdir() if setup == "list is a folder" else files["list"].write_bytes(data)
        if setup == "output is a folder":
            files["table"].mkdir()
        elif not isinstance(setup, str):
            files["table"].write_bytes(b"stale")
        setup == "no report folder" or files["report"].write_bytes(b"stale")
        options = [arg for key in ("previous", "allowed") if key in files for arg in ("--" + key, files[key])]
        # Room for the report, not for the table.
        limit = (lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (800, 800))) if setup == "disk full" else None
        result = run(generator, [files["list"], files["table"], "--report", files["report"]] + options, limit, apart)
        report = setup != "no report folder" and self.check_report(result, files["report"], files["list"])
        if options:
            reviewed = folder / "review.txt"
            review = run(comparer, [files["previous"], files["list"], "--report", reviewed] + options[2:])
            self.assertEqual(messages(review.stderr.replace(bytes(reviewed), bytes(files["report"]))),
                             messages(result.stderr))
            self.assertEqual((review.returncode, self.check_report(review, reviewed, files["list"])[:-1]),
                             (result.returncode, report[:-1]))
        self.assertEqual(list(folder.glob("*.tmp")), [], "a partial table was left")
        rows = files["table"].read_bytes() if files["table"].is_file() else None
        return result, {key: text(bytes(path)) for key, path in files.items()}, rows

    def check_report(self, result, path, source):
        """Every message, none capped, then the closing line. The list's path, which may hold a line end, is LIST."""
        report = text(path.read_bytes().replace(bytes(source), b"LIST")).splitlines()
        closing = text((result.stdout or result.stderr).replace(bytes(source), b"LIST")).splitlines()[-1:]
        self.assertEqual((report[-1:], messages("\n".join(report[:-1]).encode("utf-8", "surrogateescape"))),
                         (closing, report[:-1]))
        shown = messages(result.stderr.replace(bytes(source), b"LIST"))
        counts = [re.search(r": (\d+) more .*, not shown; every message is in (.*)$", message) for message in shown]
        self.assertEqual({count.group(2) for count in counts if count} - {text(bytes(path))}, set())
        self.assertEqual(len(report) - 1, sum(int(count.group(1)) if count else 1 for count in counts))
        kept = iter(report)
        self.assertTrue(all(message in kept for message, count in zip(shown, counts) if not count),
                        "a message shown is not in the report, in order")
        return report

    def test_verdicts(self):
        taken = [(name, data, [], dict(*setup, rows=rows, header=header)) for name, data, rows, header, *setup in TAKEN]
        cases = [(1, "error") + case for case in REFUSED] + [(0, "warning") + case for case in WARNED + taken]
        for status, kind, name, data, expected, setup, *_ in (case + (None,) for case in cases):
            with self.subTest(name):
                result, paths, rows = self.run_generator(data, setup)
                stdout, stderr, found = text(result.stdout), text(result.stderr), messages(result.stderr)
                self.assertEqual((result.returncode, len(found)), (status, len(expected)), stderr)
                for message, (line, *said) in zip(found, expected):
                    where = f"{paths[line[0]]}:{line[1]}" if isinstance(line, tuple) else paths.get(line)
                    self.assertTrue(message.startswith(f"{where or paths['list'] + ':' + str(line)}: "
                                                       f"{said[0] if said[1:] else kind}: "), message)
                    self.assertIn(said[-1], message)
                if not isinstance(setup, str):
                    self.check_closing(status, stdout, stderr, paths, rows, data, expected, setup or {})

    def check_closing(self, status, stdout, stderr, paths, rows, data, expected, setup):
        compared = "against {}: {} added, {} dropped, {} changed".format(
            paths.get("previous"), *setup["compared"]) if "compared" in setup else ""
        if status:
            self.assertEqual((rows, stdout), (None, ""), "a table was left")
            errors = setup.get("errors") or sum(len(said) == 2 or said[1] == "error" for said in expected)
            self.assertTrue(stderr.endswith(f": {errors} error{'s' * (errors != 1)}{'; ' * bool(compared)}{compared}; "
                                            f"no table written; every message is in {paths['report']}\n"), stderr)
            return
        count, warnings = rows.count(b'    {"02:5E:A1:'), setup.get("warnings", len(expected))
        self.assertEqual(count, setup.get("rows", count))
        self.assertTrue(all(": warning: " in line for line in stderr.splitlines()), stderr)
        header = f', header "{setup["header"]}" skipped' if setup.get("header") else ""
        summary = f"{paths['list']}: {count} rows taken{header}, {warnings} warning{'s' * (warnings != 1)}"
        kinds = re.escape(f" ({setup['kinds']})") if "kinds" in setup else r" \(.+\)" * bool(warnings)
        rest = f"{compared}{', ' * bool(compared)}every message is in {paths['report']}, sha256="
        rest += hashlib.sha256(data).hexdigest()
        self.assertRegex(stdout, rf"^{re.escape(summary)}{kinds}, {re.escape(rest)}\n\Z")
        if "previous" in setup:  # in an interpreter of its own, with a hash seed of its own
            self.assertEqual(rows, self.run_generator(data, apart=True)[2], "the comparison changed the table")

    def test_any_file_name_gives_a_valid_table_of_escaped_literals(self):
        for name, shown in [(b"s\xc3\xa9rie 1.csv", r"s\xc3\xa9rie 1.csv"), (b"line\nend.csv", r"line\x0aend.csv"),
                            (b"bad\xffname.csv", r"bad\xffname.csv"), (b"ends in \\", r"ends in \x5c")]:
            with self.subTest(name):
                result, paths, rows = self.run_generator('02:5E:A1:00:00:04,"q""b\\\\??/é"\n'.encode(), name=name)
                self.assertTrue(text(result.stdout).startswith(paths["list"] + ": 1 rows"), result.stderr)
                self.assertEqual(rows.decode("ascii").splitlines()[0], f"// Generated by gen_serial_rows.py from "
                                 f"{shown}. Do not edit: change the list and rebuild.")
                self.assertIn(b'{"02:5E:A1:00:00:04", 10},', rows)
                self.assertIn(b'    "q\\"b\\\\\\\\\\?\\?/\\303\\251";', rows)

    def test_command_line(self):
        """In interpreters of their own: usage errors exit 2, a refused list 1; "--" lets a list look like an option."""
        for name, data in (("list.csv", GOOD), ("--previous", GOOD), ("empty.csv", b"")):
            pathlib.Path(self.folder.name, name).write_bytes(data)
        for script, args, status, said in [
                (generator, ["list.csv", "rows.inc", "--allowed", "list.csv"], 2, "--allowed needs --previous"),
                (generator, ["list.csv"], 2, "the following arguments are required"),
                (generator, ["list.csv", "rows.inc", "--prev", "list.csv"], 2, "unrecognized arguments"),
                (comparer, ["list.csv", "list.csv", "list.csv"], 2, "unrecognized arguments"),
                (generator, ["list.csv", "rows.inc", "--report", "./list.csv"], 2, "same file as LIST.csv"),
                (comparer, ["--report", "list.csv", "--", "--previous", "list.csv"], 2, "same file as NEW.csv"),
                (generator, ["--", "--previous", "rows.inc"], 0, "--previous: 1 rows taken"),
                (comparer, ["--allowed", os.devnull, "--", "--previous", "list.csv"], 0, "0 added, 0 dropped"),
                (comparer, ["list.csv", "empty.csv"], 1, "empty.csv:1: error: the list has no rows")]:
            with self.subTest(args=args):
                result = run(script, args, cwd=self.folder.name)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertIn(said, (result.stderr if status else result.stdout).decode())

if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(os.path.abspath(sys.argv.pop(1))))
    sys.dont_write_bytecode = True  # no cache in the source tree, as the build runs the scripts (-B)
    import gen_serial_rows as generator, compare_serial_lists as comparer
    unittest.main(verbosity=1)
