#include "archive/obfuscation/Obfuscator.h"

#include "archive/obfuscation/Characters.h"
#include "archive/obfuscation/ReplacementCache.h"
#include "archive/obfuscation/Scanner.h"
#include "archive/obfuscation/StandInMap.h"

#include <arpa/inet.h>
#include <cstring>

namespace obfuscation {

using namespace chars;

namespace {

// Upper case only: hexadecimal letters all in capitals.
bool inCapitals(std::string_view token)
{
    bool upperSeen = false;
    for (const char c : token) {
        if (c >= 'a' && c <= 'f')
            return false;
        upperSeen = upperSeen || (c >= 'A' && c <= 'F');
    }
    return upperSeen;
}

std::string capitals(std::string text, bool upperCase)
{
    if (upperCase)
        for (char &c : text)
            if (lower(static_cast<unsigned char>(c)))
                c = char(c - 32);
    return text;
}

std::string text6(const std::array<uint8_t, 16> &bytes, bool upperCase)
{
    char text[INET6_ADDRSTRLEN];
    ::inet_ntop(AF_INET6, bytes.data(), text, sizeof text);
    return capitals(text, upperCase);
}

// The twelve hexadecimal digits of a MAC address written in the token's way.
std::string macIn(std::string_view token, uint64_t value)
{
    static const char digits[] = "0123456789abcdef";
    std::string out(token);
    int shift = 44;
    for (char &c : out)
        if (hex(static_cast<unsigned char>(c))) {
            c = digits[value >> shift & 15];
            shift -= 4;
        }
    return capitals(out, inCapitals(token));
}

// How many tokens ahead the cache's memory is asked for.
constexpr size_t prefetched = 8;
// The text scanned and rewritten at a time, at most (but for a longer line).
constexpr size_t window = 128 << 10;

} // namespace

struct Obfuscator::Worker {
    std::unique_ptr<Scanner::Scratch> scratch;
    std::vector<Token> tokens;
    // The text without its control sequences, where it has any (withoutControls).
    bool controls = false;
    std::string plain;
    std::vector<size_t> origin;
    // Where a place of the text as scanned stands in the text.
    size_t inText(size_t at) const { return controls ? origin[at] : at; }
};

Obfuscator::Obfuscator(Direction direction, std::shared_ptr<const Scanner> scanner,
                       std::shared_ptr<StandInMap> map)
    : m_direction(direction)
    , m_scanner(std::move(scanner))
    , m_map(std::move(map))
    , m_cache(std::make_unique<ReplacementCache>())
{
}

Obfuscator::~Obfuscator() = default;

std::unique_ptr<Obfuscator::Worker> Obfuscator::take() const
{
    {
        const std::lock_guard lock(m_mutex);
        if (!m_idle.empty()) {
            std::unique_ptr<Worker> worker = std::move(m_idle.back());
            m_idle.pop_back();
            return worker;
        }
    }
    auto worker = std::make_unique<Worker>();
    worker->scratch = m_scanner->scratch();
    return worker;
}

void Obfuscator::give(std::unique_ptr<Worker> worker) const
{
    const std::lock_guard lock(m_mutex);
    m_idle.push_back(std::move(worker));
}

namespace {

// A terminal's control sequences (colour codes: ESC [ ... m) are no part of the text's words: the
// rules look at the text without them ("user=ESC[1mbob" is "user=bob"), and `origin` tells where
// each byte of it stands in `text`, and where its end does. False, and nothing made, when the
// text has none.
bool withoutControls(std::string_view text, std::string &plain, std::vector<size_t> &origin)
{
    if (text.find('\x1b') == std::string_view::npos)
        return false;
    plain.clear();
    origin.clear();
    for (size_t i = 0; i < text.size();) {
        if (text[i] != '\x1b') {
            plain += text[i];
            origin.push_back(i++);
            continue;
        }
        const auto within = [&](unsigned char low, unsigned char high) {
            return i < text.size() && static_cast<unsigned char>(text[i]) >= low &&
                   static_cast<unsigned char>(text[i]) <= high;
        };
        // ESC [, parameters, intermediates, a final byte.
        ++i;
        if (within('[', '[')) {
            ++i;
            while (within(0x20, 0x3f))
                ++i;
            i += within(0x40, 0x7e);
        }
    }
    origin.push_back(text.size());
    return true;
}

} // namespace

std::vector<Token> Obfuscator::tokens(std::string_view text) const
{
    std::unique_ptr<Worker> worker = take();
    scan(text, *worker);
    std::vector<Token> found = std::move(worker->tokens);
    for (Token &token : found) {
        token.end = worker->inText(token.end - 1) + 1;
        token.begin = worker->inText(token.begin);
    }
    give(std::move(worker));
    return found;
}

std::string_view Obfuscator::scan(std::string_view text, Worker &worker) const
{
    worker.tokens.clear();
    worker.controls = withoutControls(text, worker.plain, worker.origin);
    const std::string_view scanned = worker.controls ? std::string_view(worker.plain) : text;
    m_scanner->find(scanned, *worker.scratch, worker.tokens);
    keepLeftmostLongest(worker.tokens);
    return scanned;
}

void Obfuscator::rewrite(std::string_view text, std::string &out, Counts &counts) const
{
    std::unique_ptr<Worker> worker = take();
    out.reserve(out.size() + text.size() + text.size() / 8);
    // A window of whole lines at a time (no identifier spans a line): still in the processor's
    // cache when its tokens are looked up after the scan, where a piece of an entry is not.
    for (size_t from = 0; from < text.size();) {
        size_t to = text.size();
        if (to - from > window) {
            const void *lineBreak = ::memrchr(text.data() + from, '\n', window);
            if (!lineBreak)
                lineBreak = std::memchr(text.data() + from + window, '\n', to - from - window);
            if (lineBreak)
                to = size_t(static_cast<const char *>(lineBreak) - text.data()) + 1;
        }
        rewriteLines(text.substr(from, to - from), *worker, out, counts);
        from = to;
    }
    give(std::move(worker));
}

void Obfuscator::rewriteLines(std::string_view text, Worker &worker, std::string &out,
                              Counts &counts) const
{
    const std::string_view scanned = scan(text, worker);
    const std::vector<Token> &tokens = worker.tokens;
    size_t copied = 0;
    const auto valueOf = [&](const Token &token) {
        return scanned.substr(token.begin, token.end - token.begin);
    };
    for (size_t i = 0; i < tokens.size() && i < prefetched; ++i)
        m_cache->prefetch(valueOf(tokens[i]));
    for (size_t i = 0; i < tokens.size(); ++i) {
        if (i + prefetched < tokens.size())
            m_cache->prefetch(valueOf(tokens[i + prefetched]));
        const Token &token = tokens[i];
        out.append(text.substr(copied, worker.inText(token.begin) - copied));
        const std::string_view value = valueOf(token);
        const Found found = token.rank >= 4   ? Found::ByPattern
                            : token.rank == 3 ? Found::AsWord
                                              : Found::ByRule;
        const uint8_t kind = uint8_t(size_t(token.shape) * 3 + size_t(found));
        const auto kept = m_cache->find(kind, value);
        std::string made;
        if (!kept) {
            made = replacement(value, token.shape, found);
            m_cache->add(kind, value, made);
        }
        const std::string_view written = kept ? *kept : std::string_view(made);
        out += written;
        // Cleaning counts every value; revealing only those that had a stand-in.
        if (m_direction == Direction::Clean || written != value)
            ++counts[size_t(token.kind)];
        // Control sequences within a token go with it.
        copied = worker.inText(token.end - 1) + 1;
    }
    out.append(text.substr(copied));
}

std::string Obfuscator::replacement(std::string_view token, Shape shape, Found found) const
{
    switch (shape) {
    case Shape::IPv4:
        return ipv4(token);
    case Shape::IPv6:
        return ipv6(token);
    case Shape::Mac:
        return mac(token);
    case Shape::Digits:
        return number(token);
    case Shape::Name:
        return name(token, found);
    default:
        break;
    }
    // Names in parts, each of the same length as its stand-in.
    std::vector<Part> parts;
    if (shape == Shape::DomainUser) {
        const size_t slash = token.find('\\');
        parts = {{0, slash}, {token.find_first_not_of('\\', slash), token.size()}};
    } else {
        labelParts(token, parts);
    }
    std::string out(token);
    for (const Part &part : parts)
        out.replace(part.begin, part.end - part.begin,
                    name(token.substr(part.begin, part.end - part.begin), found));
    // A top-level domain says nothing of the site, unless it is one of the site's words (or,
    // revealing, a stand-in of one): then it goes as the word it is, a stand-in that revealing
    // looks for on its own. Its value alone decides, as the cache of replacements by value needs.
    const size_t last = parts.empty() ? 0 : parts.back().end + 1;
    if (shape != Shape::DomainUser && m_scanner->isWord(token.substr(last)))
        out.replace(last, token.size() - last, name(token.substr(last), Found::AsWord));
    return out;
}

std::string Obfuscator::name(std::string_view token, Found found) const
{
    const std::string lowered = chars::lowered(token);
    std::string out;
    if (m_direction == Direction::Clean) {
        out = m_map->name(lowered, found);
    } else if (auto original = m_map->original(Space::Name, lowered)) {
        out = std::move(*original);
    } else {
        return std::string(token);
    }
    // The case of each letter goes with it.
    for (size_t i = 0; i < out.size() && i < token.size(); ++i)
        if (upper(static_cast<unsigned char>(token[i])) &&
            lower(static_cast<unsigned char>(out[i])))
            out[i] = char(out[i] - 32);
    return out;
}

std::string Obfuscator::number(std::string_view token) const
{
    std::string digits;
    for (const char c : token)
        if (digit(static_cast<unsigned char>(c)))
            digits += c;
    std::string mapped;
    if (m_direction == Direction::Clean) {
        mapped = m_map->number(digits);
    } else if (auto original = m_map->original(Space::Number, digits)) {
        mapped = std::move(*original);
    } else {
        return std::string(token);
    }
    std::string out(token);
    size_t next = 0;
    for (char &c : out)
        if (digit(static_cast<unsigned char>(c)))
            c = mapped[next++];
    return out;
}

std::string Obfuscator::ipv4(std::string_view token) const
{
    uint32_t value = 0;
    int widths[4];
    bool zeroFirst[4];
    int numbers = 0;
    for (size_t i = 0; i <= token.size(); ++i) {
        if (i < token.size() && token[i] != '.')
            continue;
        size_t start = i;
        while (start > 0 && token[start - 1] != '.')
            --start;
        zeroFirst[numbers] = i - start > 1 && token[start] == '0';
        widths[numbers++] = int(i - start);
        value = value << 8 | uint32_t(std::stoul(std::string(token.substr(start, i - start))));
    }
    const auto written = [&](uint32_t address) {
        std::string out;
        for (int k = 0; k < 4; ++k) {
            std::string number = std::to_string(address >> (24 - 8 * k) & 0xff);
            if (k)
                out += '.';
            out += number;
        }
        return out;
    };
    if (m_direction == Direction::Reveal) {
        if (auto spelt = m_map->spelling(Space::IPv4, token))
            return *spelt;
        const auto original = m_map->originalIpv4(value);
        return original ? written(*original) : std::string(token);
    }
    const bool plain = token == written(value);
    const uint32_t standIn = m_map->ipv4(value, plain ? std::string_view() : token);
    std::string out;
    for (int k = 0; k < 4; ++k) {
        std::string number = std::to_string(standIn >> (24 - 8 * k) & 0xff);
        // Zeros in front stay: "010.001.002.003" keeps its widths.
        if (int(number.size()) < widths[k] && zeroFirst[k])
            number.insert(0, size_t(widths[k]) - number.size(), '0');
        if (k)
            out += '.';
        out += number;
    }
    if (!plain)
        m_map->spell(Space::IPv4, out, std::string(token));
    return out;
}

std::string Obfuscator::ipv6(std::string_view token) const
{
    char text[INET6_ADDRSTRLEN + 1] = {};
    std::memcpy(text, token.data(), std::min(token.size(), sizeof text - 1));
    std::array<uint8_t, 16> bytes;
    if (::inet_pton(AF_INET6, text, bytes.data()) != 1)
        return std::string(token);
    const bool upperCase = inCapitals(token);
    if (m_direction == Direction::Reveal) {
        if (auto spelt = m_map->spelling(Space::IPv6, token))
            return *spelt;
        const auto original = m_map->originalIpv6(bytes);
        return original ? text6(*original, upperCase) : std::string(token);
    }
    const bool plain = token == text6(bytes, upperCase);
    const std::string out =
        text6(m_map->ipv6(bytes, plain ? std::string_view() : token), upperCase);
    if (!plain)
        m_map->spell(Space::IPv6, out, std::string(token));
    return out;
}

std::string Obfuscator::mac(std::string_view token) const
{
    uint64_t value = 0;
    bool lowerSeen = false;
    for (const char c : token)
        if (hex(static_cast<unsigned char>(c))) {
            value = value << 4 | uint64_t(digit(c) ? c - '0' : toLower(c) - 'a' + 10);
            lowerSeen = lowerSeen || (c >= 'a' && c <= 'f');
        }
    if (m_direction == Direction::Reveal) {
        if (auto spelt = m_map->spelling(Space::Mac, token))
            return *spelt;
        const auto original = m_map->originalMac(value);
        return original ? macIn(token, *original) : std::string(token);
    }
    // Capitals and small letters mixed: the stand-in cannot carry that, so that spelling has a
    // stand-in of its own.
    const bool mixed = lowerSeen && std::any_of(token.begin(), token.end(),
                                                [](char c) { return c >= 'A' && c <= 'F'; });
    const std::string out = macIn(token, m_map->mac(value, mixed ? token : std::string_view()));
    if (mixed)
        m_map->spell(Space::Mac, out, std::string(token));
    return out;
}

} // namespace obfuscation
