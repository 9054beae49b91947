// The rules of addresses and names: IPv4, IPv6, MAC, e-mail, host names, DOMAIN\user.
#include "archive/obfuscation/Characters.h"
#include "archive/obfuscation/Rules.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <cstring>
#include <string>
#include <unordered_set>

namespace obfuscation::rules {

using namespace chars;

namespace {

// The widest run of bytes that `in` takes, around the place `inside`.
template <typename In>
std::pair<size_t, size_t> runAround(std::string_view text, size_t inside, In in)
{
    size_t a = inside;
    size_t b = inside;
    while (a > 0 && in(at(text, a - 1)))
        --a;
    while (b < text.size() && in(at(text, b)))
        ++b;
    return {a, b};
}

// Whether `word`, in lower case, is in `set` (of words in lower case). Words longer than any in a
// set are no member; the rest are lowered on the stack.
bool inSet(std::string_view word, const std::unordered_set<std::string_view> &set)
{
    char lower[16];
    if (word.size() > sizeof lower)
        return false;
    for (size_t i = 0; i < word.size(); ++i)
        lower[i] = toLower(static_cast<unsigned char>(word[i]));
    return set.count(std::string_view(lower, word.size())) != 0;
}

std::string lowered(std::string_view text)
{
    std::string out(text);
    for (char &c : out)
        c = toLower(static_cast<unsigned char>(c));
    return out;
}

// A dotted quad that a word before it says is a version: "version 4.0.1.12", "build=4.0.1.12".
bool namedAsVersion(std::string_view text, size_t begin)
{
    static const std::unordered_set<std::string_view> words{
        "version", "ver", "v", "build", "release", "revision", "rev", "firmware", "fw", "bios"};
    size_t i = begin;
    while (i > 0 && begin - i < 3 &&
           (text[i - 1] == ' ' || text[i - 1] == ':' || text[i - 1] == '=' || text[i - 1] == '\t'))
        --i;
    size_t w = i;
    while (w > 0 && alpha(at(text, w - 1)))
        --w;
    return i > w && inSet(text.substr(w, i - w), words);
}

// Extensions of file names: a name that ends in one is a file's, not a host's.
bool fileExtension(std::string_view label)
{
    static const std::unordered_set<std::string_view> extensions{
        "txt",  "log", "gz",    "zip",  "json", "xml", "html", "htm", "csv",  "ini", "cfg", "conf",
        "exe",  "dll", "so",    "py",   "sh",   "pl",  "pm",   "md",  "tmp",  "bak", "old", "dat",
        "bin",  "out", "err",   "pid",  "lock", "tar", "bz2",  "xz",  "tgz",  "cc",  "rs",  "ps",
        "js",   "ts",  "go",    "hs",   "ml",   "cs",  "db",   "ko",  "mo",   "po",  "rb",  "fmtd",
        "jar",  "war", "class", "java", "cpp",  "h",   "hpp",  "png", "jpg",  "gif", "pdf", "doc",
        "docx", "xls", "xlsx",  "wav",  "mp3",  "ogg", "yaml", "yml", "toml", "sql", "reg", "bat",
        "cmd",  "ps1", "msi",   "cab",  "pem",  "crt", "key",  "pfx", "sock"};
    return inSet(label, extensions);
}

bool genericDomain(std::string_view label)
{
    static const std::unordered_set<std::string_view> generic{
        "com",  "net",      "org",  "edu",     "gov",  "mil",      "int",
        "info", "biz",      "io",   "example", "test", "local",    "localdomain",
        "lan",  "internal", "corp", "home",    "arpa", "intranet", "private"};
    return inSet(label, generic);
}

// Extensions that are also countries' domains: of a name of two labels they make a file's name
// ("run.sh", "libssl.so"), of more a host's ("mail.contoso.pl").
bool countryExtension(std::string_view label)
{
    static const std::unordered_set<std::string_view> countries{"so", "py", "sh", "pl", "pm", "md",
                                                                "rs", "ps", "cc", "ml", "mo"};
    return inSet(label, countries);
}

// What follows a log's name: an extension, a rotation's number or date ("1", "2026-12-01"), or
// both in one ("log-20261201").
bool dated(std::string_view part)
{
    return !part.empty() && digit(at(part, 0)) &&
           std::all_of(part.begin(), part.end(),
                       [](unsigned char c) { return digit(c) || c == '-'; });
}

bool rotationSuffix(std::string_view label)
{
    const size_t dash = label.find('-');
    return fileExtension(label) || dated(label) ||
           (dash != std::string_view::npos && fileExtension(label.substr(0, dash)) &&
            dated(label.substr(dash + 1)));
}

// Whether `run` is six bytes in groups of `group` hexadecimal digits joined by `separator`, and
// not one of the two that name no device (all zeros, all ones).
bool macShape(std::string_view run, size_t group, char separator)
{
    if (run.size() != 12 + 12 / group - 1)
        return false;
    for (size_t i = 0; i < run.size(); ++i)
        if (i % (group + 1) == group ? run[i] != separator : !hex(at(run, i)))
            return false;
    std::string digits = lowered(run);
    digits.erase(std::remove(digits.begin(), digits.end(), separator), digits.end());
    return digits != std::string(12, '0') && digits != std::string(12, 'f');
}

// A MAC address written with dashes or dots around the trigger's end.
size_t mac(std::string_view text, size_t end, size_t group, char separator, std::vector<Token> &out)
{
    auto [a, b] = runAround(text, end - 1, [&](unsigned char c) {
        return hex(c) || c == static_cast<unsigned char>(separator);
    });
    const size_t looked = b;
    while (b > a && text[b - 1] == '.')
        --b; // a full stop
    if (!(a > 0 && word(at(text, a - 1))) && !word(at(text, b)) &&
        macShape(text.substr(a, b - a), group, separator))
        out.push_back({a, b, Kind::Mac, Shape::Mac, 1});
    return looked;
}

bool label(std::string_view text)
{
    return !text.empty() && text.size() <= 63 && text.front() != '-' && text.back() != '-' &&
           std::all_of(text.begin(), text.end(),
                       [](unsigned char c) { return alnum(c) || c == '-'; });
}

} // namespace

bool hostName(std::string_view text, size_t begin, size_t end, bool strict)
{
    const std::string_view name = text.substr(begin, end - begin);
    const size_t last = name.rfind('.');
    if (last == std::string_view::npos || name.size() > 253)
        return false;
    for (size_t start = 0, dot = 0; dot != std::string_view::npos; start = dot + 1) {
        dot = name.find('.', start);
        if (!label(name.substr(start, dot == std::string_view::npos ? dot : dot - start)))
            return false;
    }
    const std::string_view top = name.substr(last + 1);
    const bool letters =
        std::all_of(top.begin(), top.end(), [](unsigned char c) { return alpha(c); });
    if (!letters || top.size() < 2)
        return false;
    if (!strict)
        return true;
    // Mixed case is a class or module name (MsgStore.Queue), not a domain.
    const bool oneCase =
        std::all_of(top.begin(), top.end(), [](unsigned char c) { return lower(c); }) ||
        std::all_of(top.begin(), top.end(), [](unsigned char c) { return upper(c); });
    const bool twoLabels = name.find('.') == last;
    if (!oneCase || (fileExtension(top) && (twoLabels || !countryExtension(top))))
        return false;
    return !twoLabels || top.size() == 2 || genericDomain(top);
}

namespace {

// The dotted quad from `a` to `b`, if it is one and an identifier.
void dottedQuad(std::string_view text, size_t a, size_t b, std::vector<Token> &out)
{
    while (b > a && text[b - 1] == '.')
        --b; // a full stop
    if (text[a] == '.' || (a > 0 && word(at(text, a - 1))) || word(at(text, b)))
        return;
    // Product/version ("agent Orvel/4.0.1.12"): a word of its own with a capital first letter,
    // not a step of a path or a URL ("/peers/10.1.2.3"), nor a protocol ("tcp/10.1.2.3").
    if (a > 1 && text[a - 1] == '/') {
        size_t w = a - 1;
        while (w > 0 && (alnum(at(text, w - 1)) || text[w - 1] == '-' || text[w - 1] == '_'))
            --w;
        const unsigned char before = w > 0 ? at(text, w - 1) : ' ';
        const bool small = std::any_of(text.begin() + w, text.begin() + (a - 1),
                                       [](unsigned char c) { return lower(c); });
        if (w < a - 1 && upper(at(text, w)) && small &&
            (before == ' ' || before == '\t' || before == '(' || before == '=' || before == '"' ||
             before == '\''))
            return;
    }
    unsigned value = 0;
    int numbers = 0;
    for (size_t i = a; i < b;) {
        size_t j = i;
        unsigned number = 0;
        while (j < b && digit(at(text, j)))
            number = number * 10 + unsigned(text[j++] - '0');
        if (j == i || j - i > 3 || number > 255 || ++numbers > 4)
            return;
        value = value << 8 | number;
        i = j < b ? j + 1 : j;
    }
    if (numbers != 4 || namedAsVersion(text, a))
        return;
    // Not identifiers: no address, loopback, broadcast and netmasks.
    const unsigned inverse = ~value;
    const bool netmask = (value >> 24) == 255 && (inverse & (inverse + 1)) == 0;
    if (value == 0 || (value >> 24) == 127 || netmask)
        return;
    out.push_back({a, b, Kind::IPv4, Shape::IPv4, 1});
}

} // namespace

size_t ipv4(std::string_view text, size_t end, std::vector<Token> &out)
{
    const auto [a, b] = runAround(text, end, [](unsigned char c) { return digit(c) || c == '.'; });
    // A range written with two dots ("10.9.8.7..10.9.8.99") holds two addresses.
    for (size_t from = a;;) {
        const size_t dots = text.substr(0, b).find("..", from);
        dottedQuad(text, from, dots == std::string_view::npos ? b : dots, out);
        if (dots == std::string_view::npos)
            break;
        from = dots + 2;
    }
    return b;
}

size_t colons(std::string_view text, size_t end, std::vector<Token> &out)
{
    auto [a, b] =
        runAround(text, end - 1, [](unsigned char c) { return hex(c) || c == ':' || c == '.'; });
    const size_t looked = b;
    while (b > a && text[b - 1] == '.')
        --b;
    while (a < b && text[a] == '.')
        ++a;
    // A key written against its value ("mac:00:1a:2b:3c:4d:5e", "from:2001:db8::5"): the value
    // begins after the key's colon; a word with a double colon (std::string) has none.
    if (a > 0 && word(at(text, a - 1))) {
        const size_t colon = text.find(':', a);
        if (colon >= b || at(text, colon + 1) == ':')
            return looked;
        a = colon + 1;
    }
    if (word(at(text, b)))
        return looked;
    std::string_view run = text.substr(a, b - a);
    // A colon that ends a sentence or a field ("at fe80::1:", "device 00:1a:2b:3c:4d:5e:").
    if (run.size() > 2 && run.back() == ':' && run[run.size() - 2] != ':')
        run.remove_suffix(1);
    if (macShape(run, 2, ':')) {
        out.push_back({a, a + run.size(), Kind::Mac, Shape::Mac, 1});
        return looked;
    }
    // A key of hexadecimal letters against its value ("ad:00:1a:2b:3c:4d:5e"), where the whole
    // run is no address.
    constexpr size_t macLength = 17;
    const size_t runEnd = a + run.size();
    const auto keyedMac = [&] {
        if (run.size() > macLength && run[run.size() - macLength - 1] == ':' &&
            macShape(run.substr(run.size() - macLength), 2, ':'))
            out.push_back({runEnd - macLength, runEnd, Kind::Mac, Shape::Mac, 1});
        return looked;
    };
    char copy[64];
    std::array<unsigned char, 16> bytes;
    if (run.size() >= sizeof copy || std::count(run.begin(), run.end(), ':') < 2)
        return keyedMac();
    std::memcpy(copy, run.data(), run.size());
    copy[run.size()] = 0;
    if (::inet_pton(AF_INET6, copy, bytes.data()) != 1)
        return keyedMac();
    // "::" and "::1" name no computer.
    const bool zeroes = std::all_of(bytes.begin(), bytes.end() - 1, [](auto x) { return !x; });
    if (zeroes && bytes[15] <= 1)
        return looked;
    out.push_back({a, a + run.size(), Kind::IPv6, Shape::IPv6, 1});
    return looked;
}

size_t macWithDashes(std::string_view text, size_t end, std::vector<Token> &out)
{
    return mac(text, end, 2, '-', out);
}

size_t macWithDots(std::string_view text, size_t end, std::vector<Token> &out)
{
    return mac(text, end, 4, '.', out);
}

size_t email(std::string_view text, size_t end, std::vector<Token> &out)
{
    const size_t sign = end - 1;
    size_t a = sign;
    while (a > 0 && [](unsigned char c) {
        return alnum(c) || c >= 0x80 || c == '.' || c == '_' || c == '%' || c == '+' || c == '-';
    }(at(text, a - 1)))
        --a;
    while (a < sign && text[a] == '.')
        ++a;
    size_t b = end;
    while (b < text.size() && (alnum(at(text, b)) || text[b] == '.' || text[b] == '-'))
        ++b;
    while (b > end && (text[b - 1] == '.' || text[b - 1] == '-'))
        --b;
    if (a < sign && b > end && hostName(text, end, b, false))
        out.push_back({a, b, Kind::Email, Shape::Email, 1});
    return b;
}

size_t domain(std::string_view text, size_t end, std::vector<Token> &out)
{
    auto [a, b] =
        runAround(text, end - 3, [](unsigned char c) { return alnum(c) || c == '.' || c == '-'; });
    const size_t looked = b;
    while (a < b && (text[a] == '.' || text[a] == '-'))
        ++a;
    while (b > a && (text[b - 1] == '.' || text[b - 1] == '-'))
        --b;
    // A name followed by a file's extensions and a rotation's numbers or dates
    // ("host.example.com.log", ".log.1", ".log.gz", ".log-20261201", a readable copy's
    // ".log.fmtd.txt").
    for (;;) {
        const std::string_view run = text.substr(a, b - a);
        const size_t last = run.rfind('.');
        if (last == std::string_view::npos ||
            run.substr(0, last).find('.') == std::string_view::npos)
            break;
        const std::string_view tail = run.substr(last + 1);
        // A country's domain is a file's extension only after a name that has a top-level
        // domain of its own ("host.example.com.sh", not "mail.contoso.pl").
        const std::string_view before = run.substr(0, last);
        const std::string_view beforeTop = before.substr(before.rfind('.') + 1);
        if (rotationSuffix(tail) &&
            (!countryExtension(tail) || beforeTop.size() == 2 || genericDomain(beforeTop))) {
            b = a + last;
            continue;
        }
        // A date joined to the name itself ("host.example.com-2026-12-01").
        const size_t dash = tail.find('-');
        if (dash != std::string_view::npos && dash > 0 && dated(tail.substr(dash + 1)) &&
            std::all_of(tail.begin(), tail.begin() + dash,
                        [](unsigned char c) { return alpha(c); }))
            b = a + last + 1 + dash;
        break;
    }
    const std::string_view name = text.substr(a, b - a);
    if (name == "localhost.localdomain" || !hostName(text, a, b, true))
        return looked;
    out.push_back({a, b, Kind::Host, Shape::Labels, 1});
    return looked;
}

size_t domainUser(std::string_view text, size_t end, std::vector<Token> &out)
{
    // A NetBIOS domain is written in capitals, and a path goes on after its next backslash. The
    // backslash may be doubled, as JSON writes it.
    const size_t slash = end - 2 - (end >= 3 && at(text, end - 3) == '\\');
    size_t a = slash;
    while (a > 0 && slash - a < 16 &&
           (upper(at(text, a - 1)) || digit(at(text, a - 1)) || text[a - 1] == '-'))
        --a;
    const unsigned char before = a > 0 ? at(text, a - 1) : 0;
    if (slash - a > 15 || word(before) || before == '\\' || before == ':' || before == '/' ||
        before == '.' || before == '-' ||
        std::none_of(text.begin() + a, text.begin() + slash,
                     [](unsigned char c) { return upper(c); }))
        return end;
    size_t b = end - 1;
    while (b < text.size() && (word(at(text, b)) || text[b] == '.' || text[b] == '-'))
        ++b;
    while (b > end && text[b - 1] == '.')
        --b;
    if (at(text, b) != '\\')
        out.push_back({a, b, Kind::User, Shape::DomainUser, 1});
    return b;
}

} // namespace obfuscation::rules
