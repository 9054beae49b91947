// The rules of addresses: IPv4, IPv6, MAC.
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

bool inSet(std::string_view word, const std::unordered_set<std::string_view> &set)
{
    char lower[16];
    if (word.size() > sizeof lower)
        return false;
    for (size_t i = 0; i < word.size(); ++i)
        lower[i] = toLower(static_cast<unsigned char>(word[i]));
    return set.count(std::string_view(lower, word.size())) != 0;
}

namespace {

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

} // namespace

namespace {

// The dotted quad from `a` to `b`, if it is one and an identifier.
void dottedQuad(std::string_view text, size_t a, size_t b, std::vector<Token> &out)
{
    while (b > a && text[b - 1] == '.')
        --b; // a full stop
    if (b == a || text[a] == '.' || (a > 0 && word(at(text, a - 1)) && !escapeBefore(text, a)) ||
        word(at(text, b)))
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
        // A port after a fifth dot, as packet captures write it ("10.1.2.3.16384"): no fifth
        // number of a dotted run (an OID's, "1.3.6.1.4") is past 255.
        if (numbers == 4 && b - i >= 3 && b - i <= 5 &&
            std::all_of(text.begin() + i, text.begin() + b, [](char c) { return digit(c); }) &&
            std::stoul(std::string(text.substr(i, b - i))) > 255) {
            b = i - 1;
            break;
        }
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
    auto [a, b] = runAround(text, end, [](unsigned char c) { return digit(c) || c == '.'; });
    // Right after a URL's or JSON's escape ("%2010.1.2.3", "\u004010.1.2.3"), whose digits are
    // no part of it.
    a = std::min(pastEscape(text, a), b);
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

} // namespace obfuscation::rules
