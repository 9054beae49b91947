#include "archive/ZipArchive.h"

#include <QFile>
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
    return QFile::encodeName(path);
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

// Compresses exactly `size` bytes of an open file (its size when it was added: a file still
// growing gives what it held then; one that shrank or cannot be read is refused, costing only
// itself) into a single-entry archive, and reads back what describes the entry.
void compressPart(int fd, qint64 size, ZipArchive::Entry &entry, const QString &partFile)
{
    FILE *in = ::fdopen(fd, "rb");
    if (!in) {
        entry.reason = systemError(errno);
        ::close(fd);
        return;
    }
    // libzip reads in small pieces: a large buffer keeps the system calls few.
    std::setvbuf(in, nullptr, _IOFBF, 1 << 20);
    int error = 0;
    zip_t *archive = zip_open(native(partFile).constData(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!archive) {
        zip_error_t e;
        zip_error_init_with_code(&e, error);
        entry.reason = QString::fromLocal8Bit(zip_error_strerror(&e));
        zip_error_fini(&e);
        std::fclose(in);
        return;
    }
    zip_source_t *data = size > 0 ? zip_source_filep(archive, in, 0, zip_int64_t(size))
                                  : zip_source_buffer(archive, nullptr, 0, 0);
    if (size == 0 || !data)
        std::fclose(in);
    const zip_int64_t index =
        data ? zip_file_add(archive, entry.name.toUtf8().constData(), data, ZIP_FL_ENC_UTF_8) : -1;
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
        entry.reason = zipError(archive);
        zip_discard(archive);
        QFile::remove(partFile);
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
        QFile::remove(partFile(i));
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
    const int fd = ::open(native(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return fail(QStringLiteral("Cannot read %1: %2").arg(path, systemError(errno)));
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return fail(QStringLiteral("%1 is not a regular file").arg(path));
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
    QFile file(target);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(empty, sizeof empty) == sizeof empty && file.flush();
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
    QFile::remove(temporary);

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
        zip_t *archive = zip_open(native(temporary).constData(), ZIP_CREATE | ZIP_TRUNCATE, &error);
        if (!archive)
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
            const zip_int64_t index =
                zip_file_add(archive, entry.name.toUtf8().constData(), source, ZIP_FL_ENC_UTF_8);
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
        QFile::remove(temporary);
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
