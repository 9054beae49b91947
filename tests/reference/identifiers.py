#!/usr/bin/env python3
"""The identifiers obfuscation replaces, from its stated rules alone (docs/administration.md):
lines with a value at every boundary of each rule, each with what the rules say is to be
replaced in it. Prints one JSON object a line: {"text": ..., "tokens": [[kind, value], ...]}.
The site's words are "Contoso" and the pattern "CUST-[0-9]{6}"."""
import ipaddress
import json
import re

VERSION_WORDS = {"version", "ver", "v", "build", "release", "revision", "rev", "firmware", "fw", "bios"}
GENERIC = {"com", "net", "org", "edu", "gov", "mil", "int", "info", "biz", "io", "example", "test", "local",
           "localdomain", "lan", "internal", "corp", "home", "arpa", "intranet", "private"}
COUNTRIES = {"so", "py", "sh", "pl", "pm", "md", "rs", "ps", "cc", "ml", "mo"}  # a host of three labels may end in
EXTENSIONS = {"txt", "log", "gz", "json", "fmtd", "tmp"} | COUNTRIES
NOT_ACCOUNTS = {"name", "id", "agent", "not", "the", "failed", "is", "logged", "session", "phone", "busy"}


def ipv4(value, before):
    parts = value.split(".")
    numbers = [int(p) for p in parts]
    if len(parts) != 4 or any(len(p) > 3 for p in parts) or max(numbers) > 255:
        return False
    if re.search(r"(?i)\b(%s)[ :=\t]{0,3}$" % "|".join(VERSION_WORDS), before) or re.search(r"(^|[ \t(=\"'])[A-Z][A-Za-z0-9_-]*/$", before) and re.search(r"[a-z][A-Za-z0-9_-]*/$", before):
        return False
    if re.search(r"\w$", before):
        return False
    whole = int(ipaddress.IPv4Address(".".join(map(str, numbers))))
    inverse = ~whole & 0xffffffff
    return whole != 0 and numbers[0] != 127 and not (numbers[0] == 255 and inverse & (inverse + 1) == 0)


def ipv6(value):
    try:
        address = ipaddress.IPv6Address(value)
    except ValueError:
        return False
    return ("::" in value or value.count(":") == 7) and int(address) > 1


def mac(value):
    forms = [r"([0-9A-Fa-f]{2}:){5}[0-9A-Fa-f]{2}", r"([0-9A-Fa-f]{2}-){5}[0-9A-Fa-f]{2}",
             r"([0-9A-Fa-f]{4}\.){2}[0-9A-Fa-f]{4}"]
    digits = re.sub("[^0-9A-Fa-f]", "", value).lower()
    return any(re.fullmatch(f, value) for f in forms) and digits not in ("0" * 12, "f" * 12)


def host(value, strict=True):
    labels = value.split(".")
    top = labels[-1]
    if len(labels) < 2 or not all(re.fullmatch(r"[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?", l) for l in labels):
        return False
    if not re.fullmatch(r"[A-Za-z]{2,63}", top):
        return False
    if not strict:
        return True
    if not (top.islower() or top.isupper()):
        return False
    if top.lower() in EXTENSIONS and (len(labels) == 2 or top.lower() not in COUNTRIES):
        return False
    return len(labels) > 2 or len(top) == 2 or top.lower() in GENERIC


def email(value):
    local, _, domain = value.partition("@")
    return bool(re.fullmatch(r"[A-Za-z0-9._%+-]{1,64}", local)) and not local.startswith(".") and host(domain, False)


def phone(value):
    """E.164: '+', a digit 1-9, 8 to 15 digits; or "00" for '+', in groups of two digits or more. National: 0 and a
    digit 1-9, 9 to 12 digits, groups of two digits or more. NANP: DDD DDD DDDD, the first not 0. Separators after the
    first all alike."""
    digits = re.sub(r"\D", "", value)
    seps = re.findall(r"\d(\) ?|[ ./-])(?=[\d(])", value)
    alike = len(set(s for s in seps[1:] if not s.startswith(")"))) <= 1
    if value.startswith("+"):
        return value[1] != "0" and 8 <= len(digits) <= 15 and alike
    groups = re.findall(r"\d+", value)
    if value.startswith("00"):  # not groups of four alone, as a dump's
        dump = len(groups) > 1 and all(len(g) == 4 for g in groups)
        return value[2] != "0" and 8 <= len(digits) - 2 <= 15 and alike and min(map(len, groups)) >= 2 and not dump
    national = re.match(r"\(?0[1-9]", value) and 9 <= len(digits) <= 12 and alike and min(map(len, groups)) >= 2
    nanp = re.fullmatch(r"(\([1-9]\d\d\) ?\d{3}[ .-]|[1-9]\d\d( \d{3}[ .-]|([.-])\d{3}\3))\d{4}", value)
    return bool(national or nanp)


CASES = []


def case(kind, value, before="peer ", after=" up", expected=None):
    """A line of `before`, `value`, `after`; `expected` what is replaced (the value when the kind's
    rule takes it)."""
    CASES.append((before + value + after, [] if expected is False else [[kind, expected or value]]))


for octet in (0, 1, 9, 10, 99, 100, 199, 200, 249, 250, 255, 256, 999, 1000):
    value = f"10.{octet}.2.3"
    case("ipv4", value, expected=None if ipv4(value, "peer ") else False)
for value in ("0.0.0.0", "127.0.0.1", "255.255.255.255", "255.255.254.0", "255.0.255.0", "1.2.3.4.5", "1.2.3"):
    case("ipv4", value, expected=None if "." in value and value.count(".") == 3 and ipv4(value, "") else False)
for before in ("version ", "Version: ", "build=", "Orvel/", "agent Orvel/", "/api/Peers/", "tcp/", "TCP/", "10/", "http://",
               "ip=", "(", "x"):
    case("ipv4", "4.0.1.12", before, expected=None if ipv4("4.0.1.12", before) else False)
for after in (".", ":5060"): case("ipv4", "10.1.2.3", after=after)
for after, ok in ((".16384 > x", True), (".255 x", False), (".123456 x", False)):  # a port after a fifth dot
    case("ipv4", "10.1.2.3", "RTP ", after, expected=None if ok else False)
case("ipv4", "10.1.2.3", "range ", "..")  # a range's two ends; one ending the text
case("ipv4", "10.1.2.99", "range 10.1.2.3..", " up")
CASES[-1] = (CASES[-1][0], [["ipv4", "10.1.2.3"], ["ipv4", "10.1.2.99"]])
case("ipv4", "10.1.2.3", after="x", expected=False)
case("ipv4", "10.1.2.3", "\x1b[32m", "\x1b[0m up", expected="10.1.2.3")  # colour codes are no part of a word
case("user", "bob", "user=\x1b[1m", "\x1b[0m up", expected="bob")
for value in ("2001:db8::1", "fe80::1ff:fe23:4567:890a", "2001:0db8:0000:0000:0000:ff00:0042:8329", "::ffff:10.1.2.3",
              "1:2:3:4:5:6:7", "1::2::3", "::", "::1", "::2", "12345::1", "A:B:C:D:E:F:0:1",
              "2001:db8:0:0:1:0:0:1", "fe80:0:0:0:1ff:fe23:4567:890a", "2001:db8:a:b:c:d:e:f",
              "fd00:1:2:3:4:5:6:7"):
    case("ipv6", value, expected=None if ipv6(value) else False)
case("ipv6", "2001:db8::7", "[", "]:443")
case("ipv6", "std::string", "use ", " here", expected=False)
for before in ("from:", "src:", "ip:"):  # a key against its value
    case("ipv6", "fe80::1ff:fe23:4567:890a", before)
for before, after in (("mac:", " up"), ("device ", ": registered")): case("mac", "00:1A:2B:3C:4D:5E", before, after)  # a colon that ends a field
for key in ("a:", "ad:", "add:"):  # a key of hexadecimal letters; the value 17 characters, one less, one more
    for value in ("00:1a:2b:3c:4d:7e", "0:1a:2b:3c:4d:7e", "000:1a:2b:3c:4d:7e"):
        case("mac", value, key, expected=None if mac(value) else False)
for value in ("00:1A:2B:3C:4D:5E", "00-1a-2b-3c-4d-5f", "001a.2b3c.4d60", "00:1A:2B:3C:4D", "00:00:00:00:00:00",
              "FF-FF-FF-FF-FF-FF", "00:1A:2B-3C:4D:5E"):
    case("mac", value, expected=None if mac(value) else False)
for value in ("a@b.co", "a@b.c", "first.last+tag@sub.example.org", "x@localhost", "j_doe%x@corp.example", "a@srv.Contoso",
              "a" * 64 + "@example.com", "a" * 65 + "@example.com"):  # a longer local part leaves the name alone
    case("email", value, "to ", " ok", expected=None if email(value) else False)
CASES[-1] = (CASES[-1][0], [["host", "example.com"]])
label = "a" * 63
for value in ("a.example.com", label + ".example.com", "a" + label + ".example.com", "x.co", "x.com", "x.foo",
              "a.b.foo", "MsgStore.Queue", "a.b.Com", "a.b.COM", "a.b.txt", "1.2.com", "e.g", "a.b.c1", "a-.corp.example",
              "run.sh", "mail.contoso.pl", "srv.corp.contoso.pl", "srv.corp.contoso", "a.b.md", "x.ml", "db.backup.sh"):
    case("host", value, expected=None if host(value) else False)
for after in (".log ok", ".log.1 ok", ".log.gz ok", ".log.fmtd.txt ok", ".1 ok", ".1.x ok", ".log.2026-12-01 ok",
              ".log-20261201 ok", "-2026-12-01.log ok", ".sh ok"):
    case("host", "host.example.com", "file ", after, expected=None if after != ".1.x ok" else False)
for value in ("+4930123456", "+1234567", "+12345678", "+123456789012345", "+1234567890123456", "+0123456789",
              "+49 30 1234567", "+44 (0)20 7946 0958", "+1 212-555-0100", "+49 30-123 4567",
              "030123456", "03012345", "030123456789", "0301234567890", "00301234567", "0049 30 1234567",
              "0012345678", "001234567", "00123456789012345", "001234567890123456", "000301234567", "0016 8080 0000 0000",
              "0049 3012 3456 78", "01.23.45.67.89", "030 1234567", "030-123-4567",
              "(030) 1234567", "030 1 234567", "212-555-0100", "(212) 555-0100", "212.555.0100", "212-555.0100",
              "012-555-0100"):
    case("phone", value, "dial ", " ok", expected=None if phone(value) else False)
case("phone", "04.12.2026", "on ", " 14:05:09", expected=False)
for country, value, ok in (("1-", "800-555-0199", True), ("1 ", "(212) 555-0100", True), ("1.", "212.555.0100", True),
                           ("2-", "800-555-0199", False), ("x1-", "800-555-0199", False)):  # the country's 1 stays
    case("phone", value, "dial " + country, " ok", expected=None if ok else False)
case("phone", "06 12 34 56 78", "", " rang")  # at the start of a piece, nothing before it
case("phone", "+4930123456", "a", " ok", expected=False)
for before, after in (("<sip:", "@host>"), ("route uri:", " ok")): case("phone", "+4930123456", before, after)
case("phone", "+4930111333", "numbers=+4930111222,", " ok")  # the second of a list
CASES[-1] = (CASES[-1][0], [["phone", "+4930111222"], ["phone", "+4930111333"]])
case("phone", "+4930111444", "route /", " ok")
for value in ("4930123456", "0301234567", "1234567", "12345678", "123456789012345", "1234567890123456"):  # '+' as a URL writes it
    case("phone", value, "?phone=%2B", "&x=1", expected=None if phone("+" + value) else False)
for value in ("+4930111555", "00441234567890"): case("phone", value, "4711,", ",120 ok")  # a field of a record
case("phone", "030 7654321", "list 030 1234567,", ",0301234568 ok")  # each of a list joined by commas alone
CASES[-1] = (CASES[-1][0], [["phone", "030 1234567"], ["phone", "030 7654321"], ["phone", "0301234568"]])
case("phone", "212-555-0101", "list 212-555-0100,", ",(212) 555-0102 ok")
CASES[-1] = (CASES[-1][0], [["phone", "212-555-0100"], ["phone", "212-555-0101"], ["phone", "(212) 555-0102"]])
# Opening marks and fields' delimiters (a decimal of nine places, the first 0, is taken); not after ':'
for before, ok in (("[", True), ("{", True), ("rate 1,", True), (";", True), ("|", True), (">", True), ("from:", False)):
    case("phone", "0301234567", before, " ok", expected=None if ok else False)
for before, value, ok in (("caller ", "4930123456", True), ("caller: ", "123", True), ("caller ", "12", False),
                          ("caller ", "123456789012345", True), ("caller ", "1234567890123456", False),
                          ("phone number: ", "+1 212 555 0100", True), ("ext. ", "4711", True), ("ext ", "1", True),
                          ("extension ", "123456789", False), ("called ", "123", False),
                          ("Called party number: ", "4255550199", True), ("calling_party_no=", "123", True),
                          ("calledPartyNumber=", "4930123456", True), ("callingPartyNameX=", "bob", False),
                          ('caller="', "4711", True), ("mobilePhone=", "4711", True), ("<caller>", "4930123456", True),
                          ("isCallerRegistered=", "1234", False), ("data_caller_", "1234", False),
                          ("redirectingNumber=", "4930123456", True), ("dialedNumber=", "4711", True),
                          ("dialed ", "4711", False), ("CLI[", "4930123456", False), ("DNIS(", "8005550199", False)):
    case("phone", value, before, " ok", expected=None if ok else False)
for before, value, close in (("CLI[", "4930123456", "]"), ("DNIS(", "8005550199", ")")):  # brackets that close on it
    case("phone", value, before, close + " ok")
case("phone", "123", "(212) 555-0100 x", " ok", expected=False)  # the extension and the number
CASES[-1] = (CASES[-1][0], [["phone", "(212) 555-0100"], ["phone", "123"]])
for before, value, ok in (("mailbox ", "1083", True), ("mailbox=", "MB-0042", True), ("mailbox ", "quota", False),
                          ("mailboxes ", "12", False), ("subscriber id: ", "88001234", True),
                          ("mailbox ", "1234567890123456", False), ("Mailbox#", "7", True), ("VoiceMailbox=", "7", True)):
    case("id", value, before, " ok", expected=None if ok else False)
case("id", "4712", "mailbox=4711,", ",MB-0042 ok")  # a list joined by commas alone
CASES[-1] = (CASES[-1][0], [["id", "4711"], ["id", "4712"], ["id", "MB-0042"]])
case("id", "4712", "mailbox=4711, ", " ok")  # "4711, 4712": one id, then a count
CASES[-1] = (CASES[-1][0], [["id", "4711"]])
for before, value in (("user ", "alice"), ("user ", "name"), ("user ", "agent"), ("login: ", "u012345"),
                      ("user ", "12345"), ("User=", "j.doe"), ("owner '", "Bob-2"), ("TargetUserName=", "jsmith"),
                      ("auth_user_name=", "bob"), ("<user>", "carol"), ("user=", "phone"), ("User ", "busy"),
                      ("auth_user=", "dave"), ("sAMAccountName=", "erin"), ("Account Name:\t\t", "frank")):
    ok = value.lower() not in NOT_ACCOUNTS and re.search("[A-Za-z]", value)
    case("user", value, before, " logged on", expected=None if ok else False)
for before, value in (("lastLogin=", "2026-12-04T14:05:09Z"), ("numSubscriber=", "1200"), ("mgmt_cli: ", "8080"),
                      ("per caller > ", "100"), ("Owner id ", "number"), ("User name no ", "longer"),
                      ("account ", "bob"), ("isUser=", "bob"), ("xsAMAccountName=", "bob")):  # a longer key, or a word, that names nothing
    case("user", value, before, " ok", expected=False)
case("user", "carol", "user=", "@localhost ok")  # an account before "@" and a one-label name
for before in ("login: user=", "/api/users/username="): case("user", "jsmith", before, " ok")  # a naming word is no value
for before, value, kind in (("<sip:", "alice", "user"), ("<sips:", "+4930123456", "phone"), ("ftp://", "bob", "user"),
                            ("gossip:", "dave", None)):  # a SIP address's or a URL's user at an address
    case(kind, value, before, "@10.1.2.3> up")
    CASES[-1] = (CASES[-1][0], ([[kind, value]] if kind else []) + [["ipv4", "10.1.2.3"]])
case("email", "bob@example.com", "user=", " ok")  # the longer token wins
for before, sign in (('{"email":"', "\\u0040"), ("sip%3A", "%40")):  # an escaped '@' stays
    case("user", "jsmith", before, sign + 'example.com" ok')
    CASES[-1] = (CASES[-1][0], [["user", "jsmith"], ["host", "example.com"]])
case("phone", "+4930123456", "sip%3A", "%40example.com ok")  # a number as the user
CASES[-1] = (CASES[-1][0], [["phone", "+4930123456"], ["host", "example.com"]])
case("host", "srv.example.com", "q=%22", "%22 ok")  # a name after an escape; an address; not an escaped backslash's
for before, value, after in (("uri=http%3A%2F%2F", "10.1.2.3", "%3A80 ok"), ("x %20", "10.1.2.3", " y"), ("seq 0012 ", "10.2.3.4", " up"),
                             ('"\\u0022', "10.1.2.3", '\\u0022"')):
    case("ipv4", value, before, after)
case("host", "u1234.example.com", "\\\\", "\\share ok")
case("user", "jsmith", '{"from":"\\u003c', '\\u0040example.com\\u003e"}')
CASES[-1] = (CASES[-1][0], [["user", "jsmith"], ["host", "example.com"]])
case("user", "jsmith", "https://", ":Secr3t@10.1.2.3/ ok")  # a URL's user and password
CASES[-1] = (CASES[-1][0], [["user", "jsmith"], ["user", "Secr3t"], ["ipv4", "10.1.2.3"]])
for before, value, after in (('{"user":"', "bob", '"}'), ('"mailbox": ', "4712", ","), ('mailbox="', "4714", '"'),
                             ("subscriberId: ", "4715", " ok"), ("userName=", "carol", " ok")):  # keys in quotes or camel case
    case("user" if "user" in before else "id", value, before, after)
for value, ok in (("CORP\\bsmith", True), ("CORP\\\\bsmith", True), ("corp\\bsmith", False), ("ABCDEFGHIJKLMNOP\\x", False),
                  ("C:\\Windows", False), ("SOFTWARE\\Quenvo\\X", False), ("M\\u00fcller", False),
                  ("CORP\\u123456", True), ("CORP\\\\u00fc", True), ("CORP\\" + "b" * 64, True), ("CORP\\" + "b" * 65, False)):
    case("user", value, "account ", " ok", expected=None if ok else False)
for before, after, ok in (("the ", " deal", True), ("the ", "s deal", False), ("x", " deal", True), ("X", " deal", False),
                          ("the ", "VM deal", True), ("the ", "vm deal", False), ("the CONTOSO", "VM", False), ("(", "-Voice)", True),
                          ("db ", "_prod up", True), ("data_", "_1.log up", True), ("data_", "1.log up", True),
                          ("node ", "01 up", True), ("node ", "x1 up", False)):
    case("word", "Contoso", before, after, expected=None if ok else False)
# The folder of an account or a mailbox: a whole folder, 64 characters at most (ids 15 digits)
for before, value, after, ok in (("/home/", "jsmith", "/.bashrc", True), ("C:\\Users\\", "jsmith", "\\AppData", True),
                                 ("C:\\\\Users\\\\", "jsmith", "\\\\x", True), ("/api/users/", "jsmith", "?x=1", True),
                                 ("/home/", "a" * 64, "/", True), ("/home/", "a" * 65, "/", False),
                                 ("C:\\Users\\", "Public", "\\x", False), ("/home/", "index", ".html", False),
                                 ("/home/", "12345", "/", False), ("/api/user/", "jsmith", "/", False),
                                 ("/mailboxes/", "4711", "/x", True), ("/subscribers/", "123456789012345", " ok", True),
                                 ("/subscribers/", "1234567890123456", " ok", False), ("/mailbox/", "MB-0042", " ok", True),
                                 ("/mailbox/", "inbox", "/", False), ("/myhome/", "jsmith", "/", False),
                                 ("home/", "jsmith", "/", False), ("/homes/", "jsmith", "/", False)):
    case("user" if "ser" in before or "home" in before else "id", value, "path " + before, after,
         expected=None if ok else False)
for value, ok in (("CUST-004711", True), ("CUST-0047", False)):
    case("word", value, "ticket ", " opened", expected=None if ok else False)
case("word", "CUST-004712", "ticket#", "b opened")  # a pattern matches within words

for text, tokens in CASES:
    print(json.dumps({"text": text, "tokens": tokens}))
