"""The readable copy of a raw diagnostic file, written from the formatting rules alone, so that the
program's copies can be compared with something that does not share its blind spots
(compare_copies.py uses it).

Rules:
- The raw file is single-byte text; a line ends at LF or CR LF (a lone CR stays in the line); a
  last line without a terminator is a line.
- Cleaning: blanks (32) off both ends, then NUL, TAB, LF and CR off the start; characters after
  the first kept one stay whatever they are. A cleaned line of any length is kept whole (emptying
  one longer than 32,767 characters would drop it).
- An empty cleaned line gives no line. Otherwise the first 510 characters are formatted and the
  rest follows unchanged after one blank; a line the formatter rejects is kept as cleaned.
- Every line of the copy ends with CR LF.
- For a cleaned archive (withheld), a rest is the mark REST, after the formatted text cut back to
  its last blank (the cut may split a word), and a rejected line is the mark RECORD.
- The stand-in formatter takes TIMESTAMP|THREAD|LEVEL|COMPONENT|MESSAGE: 16 hex digits of
  milliseconds since 1970 (UTC, up to the year 9999), 4 hex digits, one digit 0-4, a decimal id,
  the message's bytes as hex pairs (a dangling digit kept as it is), and gives
  "2026-12-04 14:05:09.123 [0A3C] ERROR MsgStore: text".
"""
import datetime
import string

CUT = 510
HEX = set(string.hexdigits.encode())
LEVELS = ["TRACE", "INFO", "WARN", "ERROR", "FATAL"]
COMPONENTS = {1: "MsgStore", 2: "CallHandler", 3: "Notifier", 4: "Directory", 5: "Telephony"}
EPOCH = datetime.datetime(1970, 1, 1)
REST = b"[the rest of this record is left out: raw, it cannot be cleaned]"
RECORD = b"[a line the formatter could not read is left out: raw, it cannot be cleaned]"


def lines(raw):
    parts = raw.split(b"\n")
    last = parts.pop()
    for part in parts:
        yield part[:-1] if part.endswith(b"\r") else part
    if last:
        yield last


def clean(line):
    return line.strip(b" ").lstrip(b"\0\t\n\r")


def is_hex(field):
    return all(c in HEX for c in field)


def format_record(record):
    """The formatter's text for a record, or None when it rejects it."""
    fields = record.split(b"|", 4)
    if len(fields) != 5:
        return None
    stamp, thread, level, component, message = fields
    if len(stamp) != 16 or not is_hex(stamp) or len(thread) != 4 or not is_hex(thread):
        return None
    if len(level) != 1 or level not in b"01234" or not component.isdigit() or not is_hex(message):
        return None
    try:
        when = EPOCH + datetime.timedelta(milliseconds=int(stamp, 16))
    except OverflowError:
        return None
    name = COMPONENTS.get(int(component), "Component%d" % int(component))
    text = bytes.fromhex(message[: len(message) // 2 * 2].decode()) + message[len(message) // 2 * 2:]
    head = "%s.%03d [%s] %s %s: " % (when.strftime("%Y-%m-%d %H:%M:%S"), when.microsecond // 1000,
                                     thread.decode().upper(), LEVELS[int(level)], name)
    return head.encode("latin-1") + text


def readable_copy(raw, withheld=False):
    copy, rejected = [], 0
    for line in lines(raw):
        cleaned = clean(line)
        if not cleaned:
            continue
        current, rest = cleaned[:CUT], cleaned[CUT:] and (REST if withheld else cleaned[CUT:])
        text = format_record(current)
        if text is not None and rest and withheld:
            text = text[:max(text.rfind(b" "), 0)]
        if text is None:
            rejected += 1
            copy.append(RECORD if withheld else cleaned)
        else:
            copy.append(text + b" " + rest if rest else text)
    return b"".join(line + b"\r\n" for line in copy), rejected
