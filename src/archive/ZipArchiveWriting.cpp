#include "archive/ZipArchive.h"

#include "platform/FileSystem.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

// The compressed pieces joined into the archive: written in the order the files were added, by
// whichever thread finishes the piece next in line, and each entry retired once written; then the
// archive's end, and the file put in place under its name.

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

int ZipArchive::SaveArchive()
{
    if (m_path.isEmpty())
        return fail(QStringLiteral("No archive has been started"));
    handOver();
    waitUntil([this] { return m_nextToWrite.first == m_queued; });
    stopWorkers();
    m_lost.clear();
    m_errorText.clear();
    m_written = false;
    if (QString abandoned = abandonedText(); !abandoned.isEmpty())
        return fail(abandoned);

    m_lost = m_failed;
    for (const Entry &entry : m_entries)
        if (!entry.ok)
            m_lost.push_back(lostFileOf(entry));
    const QString temporary = temporaryPath();
    if (!m_writer.isOpen() && !m_writer.failed())
        m_writer.open(temporary);
    QString failure;
    // Another run in the same folder would have put its own file at the temporary name: this
    // run's archive is the file it wrote, never one it finds there.
    const QString takenOver = QStringLiteral("Cannot put the archive in place at %1: another file "
                                             "took its place while it was written (another run?)")
                                  .arg(m_path);
    if (!m_writer.finish())
        failure = m_writer.failure();
    else if (!m_writer.madeFileAt(temporary))
        failure = takenOver;
    else if (::rename(nativePath(temporary).constData(), nativePath(m_path).constData()) != 0)
        failure = QStringLiteral("Cannot put the archive in place at %1: %2")
                      .arg(m_path, systemError(errno));
    else if (!m_writer.madeFileAt(m_path))
        failure = takenOver;
    if (!failure.isEmpty()) {
        m_writer.discard();
        if (failure != takenOver)
            ::unlink(nativePath(temporary).constData());
        return fail(QStringLiteral("The archive %1 was not written: %2").arg(m_path, failure));
    }
    m_written = true;
    m_sealed = m_added > 0;
    m_names.clear();
    if (!m_lost.empty()) {
        QStringList lost;
        for (const LostFile &file : m_lost)
            lost << QStringLiteral("%1 (%2)").arg(file.path, file.reason);
        return fail(QStringLiteral("%1 of %2 files could not be archived: %3")
                        .arg(m_lost.size())
                        .arg(m_added)
                        .arg(lost.join(QStringLiteral("; "))));
    }
    return 1;
}
