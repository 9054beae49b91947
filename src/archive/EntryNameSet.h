#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <memory>
#include <vector>

// The names of the entries added, each kept once in a block of bytes: what is remembered of every
// entry until the archive is complete, besides its record in the directory.
class EntryNameSet {
public:
    // False when the name is in the set already.
    bool insert(const QByteArray &name);
    bool contains(const QByteArray &name) const;
    void clear();

private:
    size_t slotOf(QByteArrayView name) const;
    QByteArrayView nameAt(quint32 at) const;
    // Each name as its length (two bytes) and its bytes, in blocks that are filled and never
    // moved: growing them copies nothing and keeps no spare room.
    std::vector<std::unique_ptr<char[]>> m_blocks;
    size_t m_used = 0;
    // Where each name starts, counted over the blocks, plus one; 0 for a free slot. Never fuller
    // than half.
    std::vector<quint32> m_slots;
    size_t m_count = 0;
};
