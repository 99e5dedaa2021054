"""What a spreadsheet leaves of a list it opened and saved again.

The maker's list goes through a spreadsheet on its way here, and a
spreadsheet reads each cell as whatever it looks like: "000123" becomes the
number 123, "1E5" becomes 100000, "2024-01-05" a date that saves as 45296,
and a UTF-8 file opened as Windows-1252 comes back as "SÃ‰RIE-7". A serial
is opaque, so none of this can be proven wrong here; serial_list.py warns
about it at its line and says what most likely happened. The file-level
hints name what a user saved instead of "CSV UTF-8".
"""

import codecs
import re
import unicodedata

# Spreadsheets' error values, in English and German, and what a column too
# narrow for its number shows ("###"), which an export "as shown" writes.
ERROR_VALUE = re.compile(r"#(?:NULL!|DIV/0!|VALUE!|REF!|NAME\?|NUM!|N/A|NV|WERT!|BEZUG!|ZAHL!|SPILL!|CALC!|FIELD!"
                         r"|BLOCKED!|CONNECT!|BUSY!|UNKNOWN!|GETTING_DATA|#+)|Err:\d{3}")
_MONTH = (r"(?:Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec|Mär|Mai|Okt|Dez"
          r"|JAN|FEB|MAR|APR|MAY|JUN|JUL|AUG|SEP|OCT|NOV|DEC|MÄR|MAI|OKT|DEZ)")
# One pattern, so that a plain serial costs one failed match at its first
# characters. Only what a spreadsheet writes: a number with a sign, decimals
# or thousands groups; scientific notation with its signed exponent; a date
# or time in the usual locales' forms; a truth value.
SHAPE = re.compile(
    r"(?P<number>[+-]?(?:\d+(?:[.,]\d+)?|\d{1,3}(?:[,. ]\d{3})+(?:[.,]\d+)?|[.,]\d+))"
    r"|(?P<scientific>[+-]?\d+(?:[.,]\d+)?[Ee][+-]\d{2,})"
    r"|(?P<date>\d{1,2}[./-]\d{1,2}[./-]\d{2,4}|\d{4}-\d{1,2}-\d{1,2}|\d{4}/\d{1,2}/\d{1,2}"
    r"|\d{1,2}[ -]" + _MONTH + r"(?:[ -]\d{2,4})?|" + _MONTH + r"[ -]\d{2,4}|\d{1,2}:\d{2}(?::\d{2})?(?: ?[AP]M)?)"
    r"|(?P<truth>TRUE|FALSE|WAHR|FALSCH|VRAI|FAUX|VERDADERO|FALSO)")
DIGITS = re.compile(r"\d+", re.ASCII)
LETTER = re.compile(r"[A-Za-z]")

IMPORT_AS_TEXT = "import the column as text"
# What a data tool (pandas, R, a spreadsheet) makes of a serial it reads as
# something else, for the refusals that follow from it.
READ_AS_MISSING = 'a data tool may have read "NA", "N/A", "null", "nan" or "None" as missing and written nothing'
READ_AS_ZERO = 'a number cell: a data tool that read a serial such as "00" as a number writes 0'
INDEX_COLUMN = ("the list's first column numbers the rows, as a data tool writes its index or row names: export "
                "without them")
LINE_ENDS_LOST = ("the list's line ends were lost, as when a tool that does not take a lone CR for a line end "
                  "writes the list on one line")
WHOLE_NUMBER = re.compile(r"[0-9]+")
ANY_MAC = re.compile(r"[0-9A-Fa-f]{2}(?:[:-][0-9A-Fa-f]{2}){5}")

# (singular, plural) of each kind of warning, as the summary counts them.
ERROR_VALUE_KIND = ("spreadsheet error value", "spreadsheet error values")
NUMBER_KIND = ("number where the serials hold letters", "numbers where the serials hold letters")
SHORT_NUMBER_KIND = ("number shorter than the other numeric serials", "numbers shorter than the other numeric serials")
KINDS = {
    "scientific": ("number in scientific notation", "numbers in scientific notation"),
    "date": ("date or time", "dates or times"),
    "truth": ("truth value", "truth values"),
}
MISDECODED_KIND = ("serial decoded in the wrong character set", "serials decoded in the wrong character set")
SPACE_AT_END_KIND = ("serial with a space at an end", "serials with a space at an end")


class SerialShapes:
    """What the list's serials are like, so that a number among serials
    that hold letters stands out, and so does a short one among numbers."""

    def __init__(self, serials):
        serials = list(serials)
        self.hold_letters = sum(1 for serial in serials if LETTER.search(serial)) * 2 > len(serials)
        lengths = {}
        for serial in serials:
            if DIGITS.fullmatch(serial):
                lengths[len(serial)] = lengths.get(len(serial), 0) + 1
        # The usual length of the numeric serials, where most share one.
        self.numeric_length = None
        if lengths and not self.hold_letters:
            length, count = max(lengths.items(), key=lambda item: (item[1], item[0]))
            if count * 2 > sum(lengths.values()):
                self.numeric_length = length


def damage(serial, shapes, plain, shown):
    """(kind, message) for a serial that looks like what a spreadsheet makes
    of a cell, or None. `plain`: the serial holds only A-Z, 0-9 and "-", so
    only its shape can tell; `shown(text)` quotes a text for a message."""
    found = None if plain else ERROR_VALUE.fullmatch(serial)
    if found:
        return ERROR_VALUE_KIND, (f"the serial {shown(serial)} is a spreadsheet's error value: the cell held a "
                                  "formula whose result could not be computed, and the export wrote that instead")
    shape = SHAPE.fullmatch(serial)
    if shape and shape.lastgroup == "number":
        if shapes.hold_letters:
            return NUMBER_KIND, (f"the serial {shown(serial)} is a number, where this list's serials hold letters: "
                                 "a spreadsheet that read the cell as a number drops leading zeros and writes a "
                                 f"number in scientific notation or a date as a plain number; {IMPORT_AS_TEXT}")
        if shapes.numeric_length and DIGITS.fullmatch(serial) and len(serial) < shapes.numeric_length:
            return SHORT_NUMBER_KIND, (f"the serial {shown(serial)} is shorter than this list's other numeric "
                                       f"serials ({shapes.numeric_length} digits): a spreadsheet that read the cell "
                                       f"as a number drops its leading zeros; {IMPORT_AS_TEXT}")
        return None
    if shape:
        what = {"scientific": "a number in scientific notation, as a spreadsheet writes a long number, losing "
                              "its last digits",
                "date": "a date or time, as a spreadsheet writes a cell it read as one",
                "truth": "a truth value, as a spreadsheet writes a cell it read as one"}[shape.lastgroup]
        return KINDS[shape.lastgroup], f"the serial {shown(serial)} reads as {what}; {IMPORT_AS_TEXT}"
    if plain:
        return None
    if serial != serial.strip(" "):
        return SPACE_AT_END_KIND, (f"the serial {shown(serial)} begins or ends with a space, which a spreadsheet "
                                   "keeps or trims by its settings: check the cell")
    meant = misdecoded(serial)
    if meant:
        return MISDECODED_KIND, (f"the serial {shown(serial)} reads as UTF-8 text decoded as {meant[0]} (it would "
                                 f"be {shown(meant[1])}): the list was opened in the wrong character set; open it "
                                 f"as UTF-8 and {EXPORT_AS_CSV}")
    return None


def numbers_rows(rows):
    """Whether `rows` (each its fields) hold a first column of row numbers,
    as pandas' to_csv with its index and R's write.csv with row names write
    one: in at least half the rows, three fields, the first a whole number,
    never the same twice."""
    numbers = [fields[0] for fields in rows if len(fields) == 3 and WHOLE_NUMBER.fullmatch(fields[0])]
    return bool(numbers) and len(numbers) * 2 >= len(rows) and len(set(numbers)) == len(numbers)


def misdecoded(text):
    """(character set, the text meant) when `text` is UTF-8 read as that
    character set, as "Ã‰" is "É"; None otherwise."""
    for charset, name in (("cp1252", "Windows-1252"), ("latin-1", "Latin-1")):
        try:
            meant = text.encode(charset).decode("utf-8")
        except UnicodeError:
            continue
        if meant != text:
            return name, meant
    return None


# A byte-order mark of another Unicode encoding; the longer marks first, as
# UTF-32's little-endian mark begins with UTF-16's.
OTHER_BOMS = ((codecs.BOM_UTF32_LE, "UTF-32, little-endian"), (codecs.BOM_UTF32_BE, "UTF-32, big-endian"),
              (codecs.BOM_UTF16_LE, "UTF-16, little-endian"), (codecs.BOM_UTF16_BE, "UTF-16, big-endian"))
SPREADSHEET_FILES = ((b"PK\x03\x04", "a spreadsheet file (.xlsx or .ods, a zip archive)"),
                     (b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1", "a spreadsheet file (.xls)"))
EXPORT_AS_CSV = "export the list as \"CSV UTF-8\""


def not_csv_text(data):
    """Why `data` is plainly no UTF-8 CSV text, from its first bytes, or None."""
    for magic, what in SPREADSHEET_FILES:
        if data.startswith(magic):
            return f"not UTF-8 CSV text but {what}: open it in its spreadsheet program and {EXPORT_AS_CSV}"
    for bom, encoding in OTHER_BOMS:
        if data.startswith(bom):
            return (f"not UTF-8 but {encoding} (its byte-order mark begins the file), as \"Unicode text\" "
                    f"saves a list: {EXPORT_AS_CSV}")
    return None


# The character sets a list that is not UTF-8 was most likely saved in.
SINGLE_BYTE = (("cp1252", "Windows-1252"), ("mac_roman", "Mac Roman"))
NOT_ASCII = re.compile(r"[^\x00-\x7f]")
CONTROL = re.compile(r"[\x00-\x08\x0b\x0c\x0e-\x1f\x7f]")


def single_byte_readings(data):
    """[(character set, text)] for the one of SINGLE_BYTE that reads `data`
    most plausibly: a list's characters beyond ASCII are letters of accented
    serials, as Mac Roman's 0x86 is "Ü" and Windows-1252's a dagger. Both on
    a tie; none where no reading is mostly letters, or has control
    characters, as a binary file does."""
    readings = []
    for codec, name in SINGLE_BYTE:
        try:
            text = data.decode(codec)
        except UnicodeDecodeError:
            continue
        others = NOT_ASCII.findall(text)
        # Unicode 3.2, as every Python carries it, so that every one decides alike.
        letters = sum(unicodedata.ucd_3_2_0.category(char)[0] == "L" for char in others)
        if not CONTROL.search(text) and letters and letters * 2 >= len(others):
            readings.append((letters, name, text))
    most = max((letters for letters, _, _ in readings), default=0)
    return [(name, text) for letters, name, text in readings if letters == most]


def wide_encoding(data):
    """The UTF-16 or UTF-32 variant that `data`, holding NUL bytes, reads as
    text in, or None: a file saved so without a byte-order mark."""
    sample = data[:4096]
    for codec, name in (("utf-32-le", "UTF-32, little-endian"), ("utf-32-be", "UTF-32, big-endian"),
                        ("utf-16-le", "UTF-16, little-endian"), ("utf-16-be", "UTF-16, big-endian")):
        unit = 4 if "32" in codec else 2
        try:
            text = sample[:len(sample) - len(sample) % unit].decode(codec)
        except UnicodeError:
            continue
        # Mostly ASCII text: a list's MACs and separators are.
        if text and sum(" " <= c <= "~" or c in "\r\n\t" for c in text) * 10 >= len(text) * 9:
            return name
    return None


def separator(text):
    """The separator the first line seems to use instead of the comma, or None."""
    first = next((line for line in text[:65536].splitlines() if line.strip()), "")
    outside = re.sub(r'"[^"]*"', "", first)
    counts = {name: outside.count(char) for char, name in ((";", "semicolons"), ("\t", "tabs"))}
    name, count = max(counts.items(), key=lambda item: item[1])
    return name if count > outside.count(",") else None
