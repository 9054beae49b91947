#include "archive/obfuscation/ReplacementCache.h"

#include <cstring>

namespace obfuscation {

namespace {

constexpr uint32_t filling = 2;

uint32_t markOf(std::string_view token)
{
    // FNV-1a, mixed; odd, so that it is never 0 (free) nor 2 (being filled).
    uint64_t hash = 0xcbf29ce484222325ull;
    for (const char c : token)
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
    return uint32_t(hash ^ (hash >> 32)) | 1;
}

} // namespace

template <size_t longest, size_t count>
std::optional<std::string_view>
ReplacementCache::Table<longest, count>::find(uint8_t kind, std::string_view token,
                                              uint32_t mark) const
{
    for (size_t i = mark & (count - 1);; i = (i + 1) & (count - 1)) {
        const Cell &cell = cells[i];
        const uint32_t seen = cell.mark.load(std::memory_order_acquire);
        if (seen == 0)
            return std::nullopt;
        if (seen == mark && cell.kind == kind &&
            std::string_view(cell.token, cell.tokenLength) == token)
            return std::string_view(cell.replacement, cell.replacementLength);
    }
}

template <size_t longest, size_t count>
void ReplacementCache::Table<longest, count>::add(uint8_t kind, std::string_view token,
                                                  uint32_t mark, std::string_view replacement)
{
    if (used.fetch_add(1, std::memory_order_relaxed) >= count / 4 * 3)
        return;
    for (size_t i = mark & (count - 1);; i = (i + 1) & (count - 1)) {
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

std::optional<std::string_view> ReplacementCache::find(uint8_t kind, std::string_view token) const
{
    if (token.size() <= 12)
        return m_short.find(kind, token, markOf(token));
    if (token.size() <= 28)
        return m_long.find(kind, token, markOf(token));
    return std::nullopt;
}

void ReplacementCache::add(uint8_t kind, std::string_view token, std::string_view replacement)
{
    if (token.size() <= 12 && replacement.size() <= 12)
        m_short.add(kind, token, markOf(token), replacement);
    else if (token.size() > 12 && token.size() <= 28 && replacement.size() <= 28)
        m_long.add(kind, token, markOf(token), replacement);
}

} // namespace obfuscation
