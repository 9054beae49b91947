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
    uint64_t hash = 0xcbf29ce484222325ull ^ space;
    for (const char c : key)
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
    // Never 0, which marks a free slot.
    return (hash ^ (hash >> 29)) | 1;
}

std::optional<std::string_view> KnownValues::find(uint8_t space, std::string_view key) const
{
    const Table &table = *m_current.load(std::memory_order_acquire);
    const uint64_t mark = markOf(space, key);
    for (size_t i = mark & table.mask;; i = (i + 1) & table.mask) {
        const Slot &slot = table.cells[i];
        const uint64_t seen = slot.mark.load(std::memory_order_acquire);
        if (seen == 0)
            return std::nullopt;
        if (seen == mark && slot.space == space && *slot.key == key)
            return std::string_view(*slot.standIn);
    }
}

void KnownValues::place(Table &table, uint64_t mark, uint8_t space, const std::string *key,
                        const std::string *standIn)
{
    size_t i = mark & table.mask;
    while (table.cells[i].mark.load(std::memory_order_relaxed) != 0)
        i = (i + 1) & table.mask;
    Slot &slot = table.cells[i];
    slot.space = space;
    slot.key = key;
    slot.standIn = standIn;
    slot.mark.store(mark, std::memory_order_release);
    ++table.used;
}

void KnownValues::add(uint8_t space, const std::string &key, const std::string &standIn)
{
    Table *table = m_current.load(std::memory_order_relaxed);
    // Half full: the next table, twice as large, with everything in it before it is seen.
    if ((table->used + 1) * 2 > table->mask + 1) {
        auto grown = std::make_unique<Table>((table->mask + 1) * 2);
        for (size_t i = 0; i <= table->mask; ++i) {
            const Slot &slot = table->cells[i];
            if (const uint64_t mark = slot.mark.load(std::memory_order_relaxed))
                place(*grown, mark, slot.space, slot.key, slot.standIn);
        }
        table = grown.get();
        m_tables.push_back(std::move(grown));
        m_current.store(table, std::memory_order_release);
    }
    place(*table, markOf(space, key), space, &key, &standIn);
}

} // namespace obfuscation
