#include "archive/obfuscation/ReplacementCache.h"

#include <cstring>

namespace obfuscation {

template <size_t longest, size_t most>
std::optional<std::string_view> ReplacementCache::Table<longest, most>::find(uint8_t kind,
                                                                             std::string_view token,
                                                                             uint64_t hash) const
{
    for (size_t i = hash & (count - 1); count; i = (i + 1) & (count - 1)) {
        const Slot &slot = cells[i];
        if (!slot.used)
            return std::nullopt;
        if (slot.hash == uint32_t(hash) && slot.kind == kind && slot.tokenLength == token.size() &&
            std::memcmp(slot.token, token.data(), token.size()) == 0)
            return std::string_view(slot.replacement, slot.replacementLength);
    }
    return std::nullopt;
}

template <size_t longest, size_t most>
void ReplacementCache::Table<longest, most>::place(const Slot &slot)
{
    size_t i = slot.hash & (count - 1);
    while (cells[i].used)
        i = (i + 1) & (count - 1);
    cells[i] = slot;
}

template <size_t longest, size_t most>
void ReplacementCache::Table<longest, most>::add(uint8_t kind, std::string_view token,
                                                 uint64_t hash, std::string_view replacement)
{
    // Three quarters full: twice the room, and what it held moved over; at the most, afresh.
    if (++used > count / 4 * 3) {
        const size_t grown = count == 0 ? 4096 : count < most ? count * 2 : count;
        std::unique_ptr<Slot[]> old = std::move(cells);
        const size_t oldCount = count;
        cells.reset(new Slot[grown]());
        count = grown;
        used = 1;
        for (size_t i = 0; grown != oldCount && i < oldCount; ++i)
            if (old[i].used) {
                place(old[i]);
                ++used;
            }
    }
    Slot slot{};
    // The table's index comes from the hash's low bits; the slot keeps them whole.
    slot.hash = uint32_t(hash);
    slot.used = 1;
    slot.kind = kind;
    slot.tokenLength = uint8_t(token.size());
    slot.replacementLength = uint8_t(replacement.size());
    std::memcpy(slot.token, token.data(), token.size());
    std::memcpy(slot.replacement, replacement.data(), replacement.size());
    place(slot);
}

uint64_t ReplacementCache::hashOf(std::string_view token)
{
    // FNV-1a, then mixed: short keys, spread over the table by the low bits.
    uint64_t hash = 0xcbf29ce484222325ull;
    for (const char c : token)
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
    return hash ^ (hash >> 29);
}

std::optional<std::string_view> ReplacementCache::find(uint8_t kind, std::string_view token,
                                                       uint64_t hash) const
{
    if (token.size() <= 12)
        return m_short.find(kind, token, hash);
    if (token.size() <= 28)
        return m_long.find(kind, token, hash);
    return std::nullopt;
}

void ReplacementCache::add(uint8_t kind, std::string_view token, uint64_t hash,
                           std::string_view replacement)
{
    if (token.size() <= 12 && replacement.size() <= 12)
        m_short.add(kind, token, hash, replacement);
    else if (token.size() > 12 && token.size() <= 28 && replacement.size() <= 28)
        m_long.add(kind, token, hash, replacement);
}

} // namespace obfuscation
