#include "archive/EntryNameSet.h"

#include <QHashFunctions>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace {

// The names' blocks; a name (at most 65,535 bytes and its length) always fits one.
constexpr size_t nameBlock = 1 << 17;

} // namespace

QByteArrayView EntryNameSet::nameAt(quint32 at) const
{
    const size_t start = at - 1;
    const char *stored = m_blocks[start / nameBlock].get() + start % nameBlock;
    return {stored + 2, qsizetype(uchar(stored[0]) | uchar(stored[1]) << 8)};
}

size_t EntryNameSet::slotOf(QByteArrayView name) const
{
    // The slot that holds the name, or the free one where it would go.
    const size_t mask = m_slots.size() - 1;
    for (size_t slot = size_t(qHash(name)) & mask;; slot = (slot + 1) & mask)
        if (m_slots[slot] == 0 || nameAt(m_slots[slot]) == name)
            return slot;
}

bool EntryNameSet::contains(const QByteArray &name) const
{
    return !m_slots.empty() && m_slots[slotOf(name)] != 0;
}

bool EntryNameSet::insert(const QByteArray &name)
{
    const size_t length = size_t(name.size()) + 2;
    // Names of entries are at most 65,535 bytes; positions fit 32 bits up to 4 GiB of names.
    if (name.size() > 0xffff || m_used + nameBlock >= 0xffffffffu)
        throw std::length_error("too many entry names");
    if ((m_count + 1) * 2 > m_slots.size()) {
        const size_t grown = std::max<size_t>(64, m_slots.size() * 2);
        const std::vector<quint32> old = std::exchange(m_slots, std::vector<quint32>(grown));
        for (const quint32 at : old)
            if (at != 0)
                m_slots[slotOf(nameAt(at))] = at;
    }
    // One look: the slot that holds the name already, or the one it goes to.
    const size_t slot = slotOf(name);
    if (m_slots[slot] != 0)
        return false;
    // Where the next name goes in the last block; a name that does not fit starts the next.
    size_t inBlock = m_blocks.empty() ? nameBlock : m_used - (m_blocks.size() - 1) * nameBlock;
    if (inBlock + length > nameBlock) {
        m_blocks.push_back(std::make_unique<char[]>(nameBlock));
        m_used = (m_blocks.size() - 1) * nameBlock;
        inBlock = 0;
    }
    char *stored = m_blocks.back().get() + inBlock;
    stored[0] = char(name.size());
    stored[1] = char(name.size() >> 8);
    std::memcpy(stored + 2, name.constData(), size_t(name.size()));
    m_slots[slot] = quint32(m_used + 1);
    m_used += length;
    ++m_count;
    return true;
}

void EntryNameSet::clear()
{
    m_blocks.clear();
    m_blocks.shrink_to_fit();
    m_slots.clear();
    m_slots.shrink_to_fit();
    m_used = 0;
    m_count = 0;
}
