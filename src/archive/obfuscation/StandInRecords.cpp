#include "archive/obfuscation/StandInMap.h"

#include "common/Failure.h"

#include <array>
#include <cerrno>

// The map as it is kept on disk: one value a line, "kind <tab> stand-in <tab> value", tabs,
// line breaks and backslashes in either written with a backslash.
namespace obfuscation {

namespace {

// How each space is named in the records; a spelling's tag is its space's with "s" before.
const char *const tags[] = {"4", "4n", "4h", "6", "6s", "6p", "m", "n", "w"};
// A name that was found as a word of its own, and one a pattern found (within words too).
const char *const literalTag = "W";
const char *const withinTag = "P";

void escapeInto(std::string &out, std::string_view field)
{
    for (const char c : field) {
        if (c == '\\' || c == '\t' || c == '\n' || c == '\r') {
            out += '\\';
            out += c == '\t' ? 't' : c == '\n' ? 'n' : c == '\r' ? 'r' : '\\';
        } else {
            out += c;
        }
    }
}

std::string unescaped(std::string_view field)
{
    if (field.find('\\') == std::string_view::npos)
        return std::string(field);
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '\\' || i + 1 == field.size()) {
            out += field[i];
            continue;
        }
        const char c = field[++i];
        out += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
    }
    return out;
}

} // namespace

const char *StandInMap::tagOf(Space space)
{
    return tags[size_t(space)];
}

std::string StandInMap::save() const
{
    const std::lock_guard lock(m_mutex);
    std::string out = "# Sorvik: stand-in and value, one a line. Private to this computer.\n";
    const auto record = [&](std::string_view tag, std::string_view standIn,
                            std::string_view original) {
        out += tag;
        out += '\t';
        escapeInto(out, standIn);
        out += '\t';
        escapeInto(out, original);
        out += '\n';
    };
    for (size_t space = 0; space < m_tables.size(); ++space) {
        const Table &table = m_tables[space];
        for (const auto &[original, standIn] : table.forward) {
            const auto literal =
                space == size_t(Space::Name) ? m_literals.find(original) : m_literals.end();
            record(literal == m_literals.end() ? tags[space]
                   : literal->second           ? withinTag
                                               : literalTag,
                   standIn, original);
        }
        for (const auto &[standIn, original] : table.spellings)
            record(std::string("s") + tags[space], standIn, original);
    }
    return out;
}

void StandInMap::load(std::string_view records)
{
    const std::lock_guard lock(m_mutex);
    // The map is written whole, every line with its line feed.
    if (!records.empty() && records.back() != '\n')
        throw Failure(EINVAL, QStringLiteral("its last line is cut short"));
    // Room for every value at once: a table grown a value at a time rehashes a dozen times.
    std::array<size_t, size_t(Space::count)> values{};
    for (size_t start = 0; start < records.size();) {
        const size_t tab = records.find('\t', start);
        const size_t end = records.find('\n', start);
        if (tab < end) {
            const std::string_view tag = records.substr(start, tab - start);
            for (size_t space = 0; space < std::size(tags); ++space)
                values[space] += tag == tags[space] || ((tag == literalTag || tag == withinTag) &&
                                                        space == size_t(Space::Name));
        }
        start = end == std::string_view::npos ? records.size() : end + 1;
    }
    for (size_t space = 0; space < values.size(); ++space) {
        m_tables[space].forward.reserve(m_tables[space].forward.size() + values[space]);
        m_tables[space].reverse.reserve(m_tables[space].reverse.size() + values[space]);
    }
    m_known.reserve(values[size_t(Space::Name)] + values[size_t(Space::Number)]);
    size_t number = 0;
    for (size_t start = 0; start < records.size();) {
        size_t end = records.find('\n', start);
        if (end == std::string_view::npos)
            end = records.size();
        const std::string_view line = records.substr(start, end - start);
        start = end + 1;
        ++number;
        if (line.empty() || line.front() == '#')
            continue;
        // Written with its carriage returns escaped: a bare one is an editor's line end.
        if (line.find('\r') != std::string_view::npos)
            throw Failure(EINVAL, QStringLiteral("line %1 ends in a carriage return (was it saved "
                                                 "with Windows line ends?)")
                                      .arg(number));
        const size_t first = line.find('\t');
        const size_t second = first == std::string_view::npos ? first : line.find('\t', first + 1);
        if (second == std::string_view::npos)
            throw Failure(EINVAL,
                          QStringLiteral("line %1 is not a stand-in and a value").arg(number));
        std::string_view tag = line.substr(0, first);
        const bool spelling = tag.size() > 1 && tag.front() == 's';
        const bool within = tag == withinTag;
        const bool literal = within || tag == literalTag;
        if (spelling)
            tag.remove_prefix(1);
        size_t space = 0;
        while (space < std::size(tags) &&
               !(literal ? space == size_t(Space::Name) : tag == tags[space]))
            ++space;
        if (space == std::size(tags))
            throw Failure(EINVAL,
                          QStringLiteral("line %1 has an unknown kind of value").arg(number));
        std::string standIn = unescaped(line.substr(first + 1, second - first - 1));
        std::string original = unescaped(line.substr(second + 1));
        if (standIn.empty() || original.empty())
            throw Failure(EINVAL,
                          QStringLiteral("line %1 is not a stand-in and a value").arg(number));
        if (spelling) {
            m_tables[space].spellings.emplace(std::move(standIn), std::move(original));
            continue;
        }
        // One stand-in a value and one value a stand-in, or reveal could not tell them apart.
        const Table &table = m_tables[space];
        const auto given = table.forward.find(original);
        const auto taken = table.reverse.find(standIn);
        if ((given != table.forward.end() && given->second != standIn) ||
            (taken != table.reverse.end() && taken->second != original))
            throw Failure(EINVAL, QStringLiteral("line %1 gives a value a second stand-in, or a "
                                                 "stand-in a second value")
                                      .arg(number));
        if (literal)
            m_literals[original] = within;
        add(Space(space), std::move(original), std::move(standIn));
    }
}

} // namespace obfuscation
