#pragma once

#include "archive/Buffer.h"
#include "archive/Deflate.h"
#include "archive/EntryTransform.h"
#include "archive/ZipEncryption.h"
#include "archive/ZipWriter.h"
#include "platform/FileSystem.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// What ZipArchive hands its workers: the entries added, the pieces they are cut in, and the limits
// of the queue between them.
namespace ZipWork {

// A file up to this size goes whole to one worker while at least as many files wait as there are
// workers, and is cut in pieces of `pieceSize` that several workers share when fewer wait. A
// larger file is always cut, in as few even pieces as this limit allows, so that what a worker
// holds stays bounded: the piece, and room for it compressed, which data that does not compress
// fills (whole files of 8 MiB took the mix of compressed and binary logs to a 65 MiB peak, 11 more
// than pieces of 4 MiB). Pieces cost a little in size and, since each piece but the last is walked
// through once more to join it to the next, in time (a tenth of what compressing it took).
constexpr quint64 wholeLimit = 4 << 20;
constexpr quint64 pieceSize = 2 << 20;
// Files added are handed to the workers together, once they are `batchFiles` or hold `batchSize`:
// handed over one at a time, 200,000 tiny files cost more in taking turns at the queue's lock and
// waking workers (a third of all switches between threads) than in compressing them. A worker takes
// files smaller than `smallFile` up to `batchFiles` at once.
constexpr quint64 batchSize = 1 << 20;
constexpr size_t batchFiles = 32;
constexpr size_t smallFile = 64 << 10;
// Files within their first block are read when they are added, not when a worker comes to them,
// where this many bytes wait before them (see ZipArchive::addFile).
constexpr quint64 readEarlyBehind = 1 << 20;
// Files opened by AddFile and not yet read: each holds a descriptor, so AddFile waits once this
// many are handed to the workers, until no more than three quarters are (a batch not yet handed
// over holds an eighth more at most). A quarter of the descriptors the process
// may hold, 256 at most: enough that the workers always find files waiting while the caller opens
// more (with a few dozen, the caller and the workers took turns, one core idle), and never so many
// that the rest of the run (the run log, the formatter's pipes, the share) finds none left.
size_t openFilesLimit();
// Entries added and not yet written, and the bytes of copies in memory among them: AddFile waits
// beyond these, so that a folder of many small files does not queue them all.
constexpr size_t pendingLimit = 2048;
constexpr size_t memoryLimit = 8 << 20;
// How often a waiting caller hears from the archive.
constexpr auto waitingInterval = std::chrono::milliseconds(100);

// The path a file was added under: its folder, and its name as added or as its entry is named.
inline QString pathFrom(const QString &folder, const QString &fileName,
                        const ZipWriter::Entry &header)
{
    return folder + (fileName.isEmpty() ? decodeNativePath(header.name) : fileName);
}

struct Entry {
    // The path the file was added under, up to its last slash; its name is in the header, or
    // here when the entry is named otherwise.
    QString folder;
    QString fileName;
    ZipWriter::Entry header;
    QString pathOf() const { return pathFrom(folder, fileName, header); }
    // Where the data is read from: an open file, or memory.
    int fd = -1;
    // Without a hole when it was opened (see fileHoleBelow): it may wait long before it is read.
    bool holeFree = false;
    QByteArray memory;
    // Pieces not yet read: the last one read closes the file.
    std::atomic<size_t> unread{0};
    // A piece could not be read: the pieces after it are not compressed.
    std::atomic<bool> failed{false};
    int level = 6;
    // Compresses past a hundred to one (see Deflater).
    std::atomic<bool> repetitive{false};
    // Kept by whichever thread writes the entry's pieces, one at a time.
    bool begun = false;
    bool ok = false;
    // Its last piece is written, or given up: no piece refers to it any more.
    bool written = false;
    QString reason;
    quint32 crc = 0;
    quint64 compressedSize = 0;
    // An encrypted entry's keys, made with its first piece and gone once it is written.
    std::shared_ptr<const Passphrase> passphrase;
    std::unique_ptr<EntryKeys> keys;
    // What rewrites the data before it is compressed (its pieces then hold whole lines), and how
    // much the rewritten pieces written so far hold.
    std::shared_ptr<EntryTransform> transform;
    quint64 rewrittenSize = 0;
};

// An entry added and not yet handed to the workers: what its Entry is made of.
struct Staged {
    QString folder;
    QString fileName;
    ZipWriter::Entry header;
    int fd = -1;
    bool holeFree = false;
    QByteArray memory;
    // Why it is lost already: it was read when it was added.
    QString failure;
    int level = 6;
    std::shared_ptr<const Passphrase> passphrase;
    std::shared_ptr<EntryTransform> transform;
};

// A piece of a file, or a whole file, in the order the pieces go into the archive: by the entry's
// place among those added, then the piece's within the entry.
using Place = std::pair<size_t, size_t>;
struct Task {
    Entry *entry;
    Place place;
    quint64 offset;
    size_t length;
    bool last;
    // A whole file that is cut into pieces when it is taken while workers would wait.
    bool divisible;
};

struct Compressed {
    Task task;
    Deflater::Result data;
    quint32 crc = 0;
    QString failure;
    // The bytes compressed: the piece's, or what they were rewritten to.
    size_t length = 0;
    // The piece's file was closed after it: the count of open files goes down with the lock.
    bool closedFile = false;
};

// What a worker keeps from one piece to the next.
struct Worker {
    Deflater deflater;
    Buffer input;
    std::string rewritten;
    std::vector<Task> tasks;
    std::vector<Compressed> compressed;
};

inline QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Reads `length` bytes at `offset` of a file whose size was `size`, and one more for its last
// piece, which only a file that grew may hold: empty, or why the bytes cannot stand for the file.
QString readPiece(int fd, char *into, quint64 offset, size_t length, bool last, quint64 size);

} // namespace ZipWork
