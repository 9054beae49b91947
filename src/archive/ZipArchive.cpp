#include "archive/ZipArchive.h"

#include "platform/FileSystem.h"

#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

namespace {

// Files opened by AddFile and not yet taken by a worker: each holds a descriptor, so AddFile
// waits once this many are queued.
constexpr size_t queueLimit = 32;

QByteArray native(const QString &path)
{
    return nativePath(path);
}

// An entry is named by the file's name as the file system gave it: UTF-8 marked as such where it
// is, otherwise the bytes as they are, unmarked (readers take them as code page 437).
zip_int64_t addNamed(zip_t *archive, const QString &name, zip_source_t *source)
{
    const QByteArray bytes = nativePath(name);
    const bool utf8 = QString::fromUtf8(bytes) == name;
    return zip_file_add(archive, bytes.constData(), source,
                        utf8 ? ZIP_FL_ENC_UTF_8 : ZIP_FL_ENC_CP437);
}

// libzip writes an archive as a temporary file that takes the mode of the file it replaces: one
// made first, private, keeps the compressed logs from accounts that cannot read the logs.
bool createPrivate(const QString &path, QString &reason)
{
    try {
        ::close(createPrivateFile(path, true));
        return true;
    } catch (const FileSystemError &error) {
        reason = error.description();
        return false;
    }
}

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString zipError(zip_t *archive)
{
    return QString::fromLocal8Bit(zip_strerror(archive));
}

// The file reaches the disk before its name does: a crash leaves the old archive or the new one.
bool syncFile(const QString &path)
{
    const int fd = ::open(native(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

} // namespace

// Hands a part's raw compressed data to the final archive, opening the part only while libzip
// copies it: an archive of 70,000 entries never holds more than one part open.
class RawPartSource {
public:
    RawPartSource(const ZipArchive::Entry &entry, QString partFile)
        : m_entry(entry)
        , m_partFile(std::move(partFile))
    {
        zip_error_init(&m_error);
    }
    ~RawPartSource() { zip_error_fini(&m_error); }

    static zip_int64_t callback(void *self, void *data, zip_uint64_t length,
                                zip_source_cmd_t command)
    {
        return static_cast<RawPartSource *>(self)->handle(data, length, command);
    }

private:
    zip_int64_t handle(void *data, zip_uint64_t length, zip_source_cmd_t command)
    {
        switch (command) {
        case ZIP_SOURCE_OPEN: {
            int error = 0;
            m_archive = zip_open(native(m_partFile).constData(), ZIP_RDONLY, &error);
            m_file = m_archive ? zip_fopen_index(m_archive, 0, ZIP_FL_COMPRESSED) : nullptr;
            if (!m_file) {
                zip_error_set(&m_error, ZIP_ER_OPEN, errno);
                closeAll();
                return -1;
            }
            return 0;
        }
        case ZIP_SOURCE_READ: {
            const zip_int64_t n = zip_fread(m_file, data, length);
            if (n < 0)
                zip_error_set(&m_error, ZIP_ER_READ, errno);
            return n;
        }
        case ZIP_SOURCE_CLOSE:
            closeAll();
            return 0;
        case ZIP_SOURCE_STAT: {
            auto *st = static_cast<zip_stat_t *>(data);
            zip_stat_init(st);
            st->valid = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_COMP_METHOD | ZIP_STAT_CRC |
                        ZIP_STAT_MTIME;
            st->size = m_entry.size;
            st->comp_size = m_entry.compressedSize;
            st->comp_method = m_entry.method;
            st->crc = m_entry.crc;
            st->mtime = time_t(m_entry.mtime);
            return sizeof(*st);
        }
        case ZIP_SOURCE_ERROR:
            return zip_error_to_data(&m_error, data, length);
        case ZIP_SOURCE_FREE:
            closeAll();
            delete this;
            return 0;
        case ZIP_SOURCE_SUPPORTS:
            return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ,
                                                  ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                                                  ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
        default:
            zip_error_set(&m_error, ZIP_ER_OPNOTSUPP, 0);
            return -1;
        }
    }

    void closeAll()
    {
        if (m_file)
            zip_fclose(m_file);
        if (m_archive)
            zip_discard(m_archive);
        m_file = nullptr;
        m_archive = nullptr;
    }

    const ZipArchive::Entry &m_entry;
    QString m_partFile;
    zip_t *m_archive = nullptr;
    zip_file_t *m_file = nullptr;
    zip_error_t m_error;
};

namespace {

// Gives libzip exactly `size` bytes of an open file, its size when it was added: a file still
// growing gives what it held then. One that ends before (cut short while it was read) or holds more
// while its size stays put (a pseudo-file whose size says nothing of its content) is refused:
// the entry would not be the file.
class ExactFileSource {
public:
    ExactFileSource(int fd, quint64 size)
        : m_fd(fd)
        , m_size(size)
    {
        zip_error_init(&m_error);
    }
    ~ExactFileSource()
    {
        zip_error_fini(&m_error);
        ::close(m_fd);
    }
    ExactFileSource(const ExactFileSource &) = delete;
    ExactFileSource &operator=(const ExactFileSource &) = delete;

    static zip_int64_t callback(void *self, void *data, zip_uint64_t length,
                                zip_source_cmd_t command)
    {
        return static_cast<ExactFileSource *>(self)->handle(data, length, command);
    }

    // Why the file was refused; empty while it was not.
    QString refusal;

private:
    zip_int64_t handle(void *data, zip_uint64_t length, zip_source_cmd_t command)
    {
        switch (command) {
        case ZIP_SOURCE_OPEN:
            if (m_read > 0 && ::lseek(m_fd, 0, SEEK_SET) != 0)
                return refuse(systemError(errno));
            m_read = 0;
            m_pos = m_end = 0;
            return 0;
        case ZIP_SOURCE_READ:
            return read(static_cast<char *>(data), length);
        case ZIP_SOURCE_CLOSE:
        case ZIP_SOURCE_FREE: // the owner frees it
            return 0;
        case ZIP_SOURCE_STAT: {
            auto *st = static_cast<zip_stat_t *>(data);
            zip_stat_init(st);
            st->valid = ZIP_STAT_SIZE;
            st->size = m_size;
            return sizeof(*st);
        }
        case ZIP_SOURCE_ERROR:
            return zip_error_to_data(&m_error, data, length);
        case ZIP_SOURCE_SUPPORTS:
            return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ,
                                                  ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                                                  ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
        default:
            zip_error_set(&m_error, ZIP_ER_OPNOTSUPP, 0);
            return -1;
        }
    }

    zip_int64_t refuse(const QString &reason)
    {
        refusal = reason;
        zip_error_set(&m_error, ZIP_ER_READ, 0);
        return -1;
    }

    ssize_t readSome(char *into, size_t length)
    {
        ssize_t n;
        do
            n = ::read(m_fd, into, length);
        while (n < 0 && errno == EINTR);
        return n;
    }

    zip_int64_t read(char *data, zip_uint64_t length)
    {
        if (m_pos == m_end) {
            if (m_read == m_size)
                return endOfFile();
            // libzip asks in small pieces: a large block keeps the system calls few.
            if (m_block.isEmpty())
                m_block.resize(qsizetype(std::min<quint64>(m_size, 1 << 20)));
            const ssize_t n = readSome(m_block.data(),
                                       size_t(std::min<quint64>(m_size - m_read, m_block.size())));
            if (n < 0)
                return refuse(systemError(errno));
            if (n == 0)
                return refuse(QStringLiteral("the file was cut short while it was read: %1 of "
                                             "%2 bytes")
                                  .arg(m_read)
                                  .arg(m_size));
            m_read += quint64(n);
            m_pos = 0;
            m_end = n;
        }
        const qsizetype part =
            qsizetype(std::min<zip_uint64_t>(length, zip_uint64_t(m_end - m_pos)));
        std::memcpy(data, m_block.constData() + m_pos, size_t(part));
        m_pos += part;
        return part;
    }

    // More bytes than the size are fine while the size grows with them (a live log).
    zip_int64_t endOfFile()
    {
        char extra;
        struct stat st;
        if (readSome(&extra, 1) > 0 && ::fstat(m_fd, &st) == 0 && quint64(st.st_size) <= m_size)
            return refuse(
                QStringLiteral("the file holds more than its size of %1 bytes says").arg(m_size));
        return 0;
    }

    int m_fd;
    quint64 m_size;
    quint64 m_read = 0;
    QByteArray m_block;
    qsizetype m_pos = 0;
    qsizetype m_end = 0;
    zip_error_t m_error;
};

// Compresses the file open at `fd` (see ExactFileSource; a file that cannot be read in full
// costs only itself) into a single-entry archive, and reads back what describes the entry.
void compressPart(int fd, qint64 size, ZipArchive::Entry &entry, const QString &partFile)
{
    ExactFileSource in(fd, quint64(size));
    int error = 0;
    if (!createPrivate(partFile, entry.reason))
        return;
    zip_t *archive = zip_open(native(partFile).constData(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!archive) {
        zip_error_t e;
        zip_error_init_with_code(&e, error);
        entry.reason = QString::fromLocal8Bit(zip_error_strerror(&e));
        zip_error_fini(&e);
        return;
    }
    zip_source_t *data = zip_source_function(archive, ExactFileSource::callback, &in);
    const zip_int64_t index = data ? addNamed(archive, entry.name, data) : -1;
    if (index < 0) {
        if (data)
            zip_source_free(data);
        entry.reason = zipError(archive);
        zip_discard(archive);
        return;
    }
    zip_set_file_compression(archive, zip_uint64_t(index), ZIP_CM_DEFLATE,
                             zip_uint32_t(entry.level));
    zip_file_set_mtime(archive, zip_uint64_t(index), time_t(entry.mtime), 0);
    if (zip_close(archive) != 0) {
        entry.reason = in.refusal.isEmpty() ? zipError(archive) : in.refusal;
        zip_discard(archive);
        ::unlink(native(partFile).constData());
        return;
    }
    zip_t *written = zip_open(native(partFile).constData(), ZIP_RDONLY, &error);
    zip_stat_t stat;
    if (!written || zip_stat_index(written, 0, 0, &stat) != 0) {
        entry.reason = QStringLiteral("the compressed entry cannot be read back");
        if (written)
            zip_discard(written);
        return;
    }
    entry.size = stat.size;
    entry.compressedSize = stat.comp_size;
    entry.crc = stat.crc;
    entry.method = stat.comp_method;
    entry.ok = true;
    zip_discard(written);
}

} // namespace

ZipArchive::ZipArchive(int compressionLevel, int threads)
    : m_level(compressionLevel)
    , m_threads(threads > 0 ? threads
                            : int(std::max(1u, std::min(4u, std::thread::hardware_concurrency()))))
{
}

ZipArchive::~ZipArchive()
{
    abandon();
}

void ZipArchive::abandon()
{
    stopWorkers();
    discardParts();
}

void ZipArchive::setFolderLevel(const QString &folder, int level)
{
    m_levelFolder = QFileInfo(folder).absoluteFilePath();
    m_folderLevel = level;
}

int ZipArchive::fail(const QString &text)
{
    m_errorText = text;
    return 0;
}

void ZipArchive::startWorkers()
{
    if (!m_workers.empty())
        return;
    m_stopping = false;
    for (int i = 0; i < m_threads; ++i)
        m_workers.emplace_back([this] { work(); });
}

void ZipArchive::stopWorkers()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    for (std::thread &worker : m_workers)
        worker.join();
    m_workers.clear();
    for (const Job &job : m_queue)
        ::close(job.fd);
    m_queue.clear();
}

void ZipArchive::work()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
        // Stopping leaves what is queued: SaveArchive has waited for it already, or the run was
        // cut short and its entries are not wanted.
        if (m_stopping || m_queue.empty())
            return;
        const Job job = m_queue.front();
        m_queue.pop_front();
        ++m_busy;
        Entry &entry = m_entries[job.index];
        lock.unlock();
        m_changed.notify_all();
        compressPart(job.fd, job.size, entry, partFile(job.index));
        lock.lock();
        entry.done = true;
        --m_busy;
        m_changed.notify_all();
    }
}

void ZipArchive::waitForEntries()
{
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return m_queue.empty() && m_busy == 0; });
}

void ZipArchive::discardParts()
{
    for (size_t i = 0; i < m_entries.size(); ++i)
        ::unlink(native(partFile(i)).constData());
}

QString ZipArchive::partFile(size_t index) const
{
    return m_path + QStringLiteral(".part%1").arg(index);
}

int ZipArchive::NewZip(const QString &zipFilePath)
{
    stopWorkers();
    discardParts();
    m_path.clear();
    m_entries.clear();
    m_lost.clear();
    m_errorText.clear();
    const QFileInfo target(zipFilePath);
    if (zipFilePath.isEmpty() || target.fileName().isEmpty())
        return fail(QStringLiteral("No archive path was given"));
    // The folder must take new files: the archive is written beside its final name.
    QByteArray probe = native(target.absolutePath() + QStringLiteral("/.sorvik-zip-XXXXXX"));
    const int fd = ::mkstemp(probe.data());
    if (fd < 0)
        return fail(QStringLiteral("Cannot create the archive %1: %2")
                        .arg(zipFilePath, systemError(errno)));
    ::close(fd);
    ::unlink(probe.constData());
    m_path = zipFilePath;
    return 1;
}

int ZipArchive::AddFile(const QString &path, int flags)
{
    if (m_path.isEmpty())
        return fail(QStringLiteral("No archive has been started"));
    const QString name = QFileInfo(path).fileName();
    for (const Entry &entry : m_entries)
        if (entry.name == name)
            return fail(QStringLiteral("An entry named %1 is already in the archive").arg(name));
    int fd = -1;
    try {
        fd = openRegularFile(path);
    } catch (const FileSystemError &error) {
        return fail(error.description());
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        const int error = errno;
        ::close(fd);
        return fail(QStringLiteral("Cannot read %1: %2").arg(path, systemError(error)));
    }

    Entry entry;
    entry.path = path;
    entry.name = name;
    entry.level = !m_levelFolder.isEmpty() && QFileInfo(path).absolutePath() == m_levelFolder
                      ? m_folderLevel
                      : m_level;
    entry.mtime = st.st_mtime;
    startWorkers();
    std::unique_lock lock(m_mutex);
    m_entries.push_back(entry);
    m_changed.wait(lock, [this] { return m_queue.size() < queueLimit; });
    m_queue.push_back({m_entries.size() - 1, fd, qint64(st.st_size)});
    lock.unlock();
    m_changed.notify_all();
    return 1;
}

bool ZipArchive::writeEmptyArchive(const QString &target)
{
    // The end-of-central-directory record alone is a complete archive without entries.
    static const char empty[22] = {'P', 'K', 5, 6};
    int fd = -1;
    try {
        fd = createPrivateFile(target, true);
    } catch (const FileSystemError &) {
        return false;
    }
    const bool written = ::write(fd, empty, sizeof empty) == sizeof empty;
    return ::close(fd) == 0 && written;
}

int ZipArchive::SaveArchive()
{
    if (m_path.isEmpty())
        return fail(QStringLiteral("No archive has been started"));
    waitForEntries();
    m_lost.clear();
    m_errorText.clear();
    m_written = false;
    const QString temporary = m_path + QStringLiteral(".tmp");
    ::unlink(native(temporary).constData());

    size_t kept = 0;
    for (const Entry &entry : m_entries) {
        if (entry.ok)
            ++kept;
        else
            m_lost.push_back({entry.path, entry.reason});
    }
    QString failure;
    if (kept == 0) {
        if (!writeEmptyArchive(temporary))
            failure = QStringLiteral("Cannot write the archive %1").arg(temporary);
    } else {
        int error = 0;
        zip_t *archive = nullptr;
        if (createPrivate(temporary, failure))
            archive = zip_open(native(temporary).constData(), ZIP_CREATE | ZIP_TRUNCATE, &error);
        if (!archive && failure.isEmpty())
            failure = QStringLiteral("Cannot create the archive %1").arg(temporary);
        for (size_t i = 0; archive && i < m_entries.size() && failure.isEmpty(); ++i) {
            const Entry &entry = m_entries[i];
            if (!entry.ok)
                continue;
            auto *raw = new RawPartSource(entry, partFile(i));
            zip_source_t *source = zip_source_function(archive, RawPartSource::callback, raw);
            if (!source) {
                delete raw;
                failure = zipError(archive);
                break;
            }
            const zip_int64_t index = addNamed(archive, entry.name, source);
            if (index < 0) {
                zip_source_free(source);
                failure = zipError(archive);
                break;
            }
            // The same method and level as the part: libzip copies the data as it is.
            zip_set_file_compression(archive, zip_uint64_t(index), entry.method,
                                     entry.method == ZIP_CM_DEFLATE ? zip_uint32_t(entry.level)
                                                                    : 0);
            zip_file_set_mtime(archive, zip_uint64_t(index), time_t(entry.mtime), 0);
        }
        if (archive && failure.isEmpty() && zip_close(archive) != 0)
            failure = zipError(archive);
        if (archive && !failure.isEmpty())
            zip_discard(archive);
    }

    if (failure.isEmpty() && !syncFile(temporary))
        failure = QStringLiteral("Cannot write the archive %1 to disk: %2")
                      .arg(temporary, systemError(errno));
    if (failure.isEmpty() &&
        ::rename(native(temporary).constData(), native(m_path).constData()) != 0)
        failure = QStringLiteral("Cannot put the archive in place at %1: %2")
                      .arg(m_path, systemError(errno));
    if (!failure.isEmpty()) {
        ::unlink(native(temporary).constData());
        return fail(QStringLiteral("The archive %1 was not written: %2").arg(m_path, failure));
    }
    m_written = true;
    if (!m_lost.empty()) {
        QStringList lost;
        for (const LostFile &file : m_lost)
            lost << QStringLiteral("%1 (%2)").arg(file.path, file.reason);
        return fail(QStringLiteral("%1 of %2 files could not be archived: %3")
                        .arg(m_lost.size())
                        .arg(m_entries.size())
                        .arg(lost.join(QStringLiteral("; "))));
    }
    return 1;
}
