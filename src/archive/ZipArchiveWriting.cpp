#include "archive/ZipArchive.h"

// The compressed pieces joined into the archive: written in the order the files were added, by
// whichever thread finishes the piece next in line, and each entry retired once written.

using namespace ZipWork;

void ZipArchive::writeInOrder(std::unique_lock<std::mutex> &lock)
{
    if (m_writing)
        return;
    m_writing = true;
    // The pieces next in line are taken out together and written with the lock let go once, not
    // once a piece: with small files the caller adding the next ones waited on it for each.
    std::vector<Compressed> &ready = m_ready;
    for (;;) {
        for (Place next = m_nextToWrite;
             !m_compressed.empty() && m_compressed.begin()->first == next;) {
            ready.push_back(std::move(m_compressed.begin()->second));
            m_compressed.erase(m_compressed.begin());
            next = ready.back().task.last ? Place{next.first + 1, 0}
                                          : Place{next.first, next.second + 1};
        }
        if (ready.empty())
            break;
        std::vector<size_t> &held = m_readyHeld;
        lock.unlock();
        for (Compressed &piece : ready) {
            held.push_back(piece.data.length);
            write(piece);
            m_bytesDone += piece.task.length;
            piece.data = {};
        }
        lock.lock();
        for (size_t i = 0; i < ready.size(); ++i) {
            const Compressed &piece = ready[i];
            m_reserved -= held[i];
            if (piece.task.last) {
                Entry &entry = *piece.task.entry;
                m_memoryQueued -= size_t(entry.memory.size());
                // Every piece is compressed once the last is written: the data is no longer
                // needed.
                entry.memory = {};
                entry.written = true;
                if (entry.transform) {
                    entry.transform->finished(entry.ok);
                    entry.transform.reset();
                }
                m_nextToWrite = {m_nextToWrite.first + 1, 0};
                retire();
            } else {
                ++m_nextToWrite.second;
            }
        }
        ready.clear();
        held.clear();
        // Only a worker kept back by the budget has anything new to do.
        if (canTakeNext())
            m_work.notify_one();
    }
    m_writing = false;
    m_progress.notify_all();
}

void ZipArchive::write(Compressed &piece)
{
    Entry &entry = *piece.task.entry;
    if (entry.reason.isEmpty())
        entry.reason = piece.failure;
    // A piece that failed, or one skipped since a piece of its file failed: the entry is taken
    // back out. The reason comes with the failed piece, which may be written after this one.
    if (entry.failed || !piece.failure.isEmpty()) {
        if (entry.begun)
            m_writer.dropEntry();
        entry.begun = false;
        return;
    }
    if (!entry.begun) {
        if (!m_writer.isOpen() && !m_writer.failed())
            m_writer.open(temporaryPath());
        m_writer.beginEntry(entry.header);
        entry.begun = true;
        entry.crc = piece.crc;
    } else {
        entry.crc = crc32Joined(entry.crc, piece.crc, piece.length);
    }
    QByteArray mac;
    if (entry.passphrase && !encrypt(entry, piece, mac)) {
        entry.failed = true;
        entry.begun = false;
        m_writer.dropEntry();
        return;
    }
    m_writer.write(piece.data.data.data(), piece.data.length);
    m_writer.write(mac.constData(), size_t(mac.size()));
    if (m_writer.failed()) {
        // The entry does not fit (a file size limit, a full disk): it costs itself only, when
        // taking it back out makes the archive whole again.
        entry.reason = m_writer.failure();
        entry.failed = true;
        entry.begun = false;
        m_writer.dropEntry();
        return;
    }
    entry.compressedSize += piece.data.length + size_t(mac.size());
    entry.rewrittenSize += piece.length;
    if (piece.task.last) {
        if (entry.transform)
            m_writer.setEntrySize(entry.rewrittenSize);
        m_writer.finishEntry(entry.crc, entry.compressedSize);
        entry.ok = true;
    }
}

ZipArchive::LostFile ZipArchive::lostFileOf(const Entry &entry)
{
    return {entry.pathOf(),
            entry.reason.isEmpty() ? QStringLiteral("it could not be read in full") : entry.reason};
}

void ZipArchive::retire()
{
    // Entries are written in the order they were added: the oldest is the one just finished.
    while (!m_entries.empty() && m_entries.front().written) {
        if (!m_entries.front().ok)
            m_failed.push_back(lostFileOf(m_entries.front()));
        m_entries.pop_front();
    }
}
