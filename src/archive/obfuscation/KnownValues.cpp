#include "archive/obfuscation/KnownValues.h"

namespace obfuscation {

KnownValues::KnownValues()
{
    m_tables.push_back(std::make_unique<Table>(1 << 12));
    m_current.store(m_tables.back().get(), std::memory_order_release);
}

KnownValues::~KnownValues() = default;

uint64_t KnownValues::markOf(uint8_t space, std::string_view key)
{
    uint64_t hash = 0xcbf29ce484222325ull;
    for (const char c : key)
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
    hash ^= hash >> 29;
    // The low byte: the space, and a bit that is never 0 (0 marks a free slot).
    return (hash << 8) | uint64_t(space) << 1 | 1;
}

std::optional<std::string_view> KnownValues::find(uint8_t space, std::string_view key) const
{
    const Table &table = *m_current.load(std::memory_order_acquire);
    const uint64_t mark = markOf(space, key);
    for (size_t i = (mark >> 8) & table.mask;; i = (i + 1) & table.mask) {
        const Slot &slot = table.cells[i];
        const uint64_t seen = slot.mark.load(std::memory_order_acquire);
        if (seen == 0)
            return std::nullopt;
        if (seen == mark && slot.entry->first == key)
            return std::string_view(slot.entry->second);
    }
}

void KnownValues::place(Table &table, uint64_t mark, const Entry *entry)
{
    size_t i = (mark >> 8) & table.mask;
    while (table.cells[i].mark.load(std::memory_order_relaxed) != 0)
        i = (i + 1) & table.mask;
    Slot &slot = table.cells[i];
    slot.entry = entry;
    slot.mark.store(mark, std::memory_order_release);
    ++table.used;
}

void KnownValues::grow(size_t count)
{
    Table *table = m_current.load(std::memory_order_relaxed);
    // At most half full: a new table with everything in it before it is seen.
    size_t size = table->mask + 1;
    while ((table->used + count) * 2 > size)
        size *= 2;
    if (size == table->mask + 1)
        return;
    auto grown = std::make_unique<Table>(size);
    for (size_t i = 0; i <= table->mask; ++i) {
        const Slot &slot = table->cells[i];
        if (const uint64_t mark = slot.mark.load(std::memory_order_relaxed))
            place(*grown, mark, slot.entry);
    }
    m_current.store(grown.get(), std::memory_order_release);
    m_tables.push_back(std::move(grown));
}

void KnownValues::reserve(size_t count)
{
    grow(count);
}

void KnownValues::add(uint8_t space, const Entry &entry)
{
    grow(1);
    place(*m_current.load(std::memory_order_relaxed), markOf(space, entry.first), &entry);
}

} // namespace obfuscation
