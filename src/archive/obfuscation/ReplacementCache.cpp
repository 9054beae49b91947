#include "archive/obfuscation/ReplacementCache.h"

#include <cstring>

namespace obfuscation {

namespace {

constexpr uint32_t filling = 2;

uint64_t hashOf(std::string_view token)
{
    // FNV-1a, its high bits mixed into the low ones.
    uint64_t hash = 0xcbf29ce484222325ull;
    for (const char c : token)
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
    return (hash ^ (hash >> 29)) * 0x9e3779b97f4a7c15ull;
}

// Odd, so that it is never 0 (free) nor 2 (being filled).
uint32_t markOf(uint64_t hash)
{
    return uint32_t(hash) | 1;
}

// The cell a token's probe starts at: from other bits than its mark's.
template <size_t count> size_t startOf(uint64_t hash)
{
    return size_t(hash >> 32) & (count - 1);
}

// Byte by byte: a call to memcmp costs more than a token's few bytes.
bool equal(const char *kept, std::string_view token)
{
    for (size_t i = 0; i < token.size(); ++i)
        if (kept[i] != token[i])
            return false;
    return true;
}

} // namespace

template <size_t longest, size_t count>
std::optional<std::string_view>
ReplacementCache::Table<longest, count>::find(uint8_t kind, std::string_view token,
                                              uint64_t hash) const
{
    const uint32_t mark = markOf(hash);
    for (size_t i = startOf<count>(hash);; i = (i + 1) & (count - 1)) {
        const Cell &cell = cells[i];
        const uint32_t seen = cell.mark.load(std::memory_order_acquire);
        if (seen == 0)
            return std::nullopt;
        if (seen == mark && cell.kind == kind && cell.tokenLength == token.size() &&
            equal(cell.token, token))
            return std::string_view(cell.replacement, cell.replacementLength);
    }
}

template <size_t longest, size_t count>
void ReplacementCache::Table<longest, count>::add(uint8_t kind, std::string_view token,
                                                  uint64_t hash, std::string_view replacement)
{
    if (used.fetch_add(1, std::memory_order_relaxed) >= count / 4 * 3)
        return;
    const uint32_t mark = markOf(hash);
    for (size_t i = startOf<count>(hash);; i = (i + 1) & (count - 1)) {
        Cell &cell = cells[i];
        uint32_t expected = 0;
        if (!cell.mark.compare_exchange_strong(expected, filling, std::memory_order_acquire))
            continue;
        cell.kind = kind;
        cell.tokenLength = uint8_t(token.size());
        cell.replacementLength = uint8_t(replacement.size());
        std::memcpy(cell.token, token.data(), token.size());
        std::memcpy(cell.replacement, replacement.data(), replacement.size());
        cell.mark.store(mark, std::memory_order_release);
        return;
    }
}

ReplacementCache::ReplacementCache() = default;
ReplacementCache::~ReplacementCache() = default;

void ReplacementCache::prefetch(std::string_view token) const
{
    if (token.size() <= 12)
        __builtin_prefetch(&m_short.cells[startOf<shortCount>(hashOf(token))]);
    else if (token.size() <= 28)
        __builtin_prefetch(&m_long.cells[startOf<longCount>(hashOf(token))]);
}

std::optional<std::string_view> ReplacementCache::find(uint8_t kind, std::string_view token) const
{
    if (token.size() <= 12)
        return m_short.find(kind, token, hashOf(token));
    if (token.size() <= 28)
        return m_long.find(kind, token, hashOf(token));
    return std::nullopt;
}

void ReplacementCache::add(uint8_t kind, std::string_view token, std::string_view replacement)
{
    if (token.size() <= 12 && replacement.size() <= 12)
        m_short.add(kind, token, hashOf(token), replacement);
    else if (token.size() > 12 && token.size() <= 28 && replacement.size() <= 28)
        m_long.add(kind, token, hashOf(token), replacement);
}

} // namespace obfuscation
