#include "archive/ZipArchive.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <zip.h>

namespace {

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

// One entry compressed on its own into a part file: its raw deflate data and what describes it.
struct Part {
    QString file;
    bool ok = false;
    QString reason;
    zip_uint64_t size = 0;
    zip_uint64_t compressedSize = 0;
    zip_uint32_t crc = 0;
    zip_uint16_t method = ZIP_CM_DEFLATE;
    time_t mtime = 0;
};

// Compresses one file into a single-entry archive. The file is measured once it is open, and
// exactly that many bytes are taken: a file still growing gives what it held then, and one that
// shrinks or cannot be read is refused here, costing only itself.
void compressPart(const QString &source, const QString &name, int level, Part &part)
{
    FILE *in = std::fopen(native(source).constData(), "rbe");
    if (!in) {
        part.reason = systemError(errno);
        return;
    }
    struct stat st;
    if (::fstat(fileno(in), &st) != 0 || !S_ISREG(st.st_mode)) {
        part.reason =
            S_ISREG(st.st_mode) ? systemError(errno) : QStringLiteral("not a regular file");
        std::fclose(in);
        return;
    }
    int error = 0;
    zip_t *archive = zip_open(native(part.file).constData(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!archive) {
        zip_error_t e;
        zip_error_init_with_code(&e, error);
        part.reason = QString::fromLocal8Bit(zip_error_strerror(&e));
        zip_error_fini(&e);
        std::fclose(in);
        return;
    }
    zip_source_t *data = st.st_size > 0 ? zip_source_filep(archive, in, 0, zip_int64_t(st.st_size))
                                        : zip_source_buffer(archive, nullptr, 0, 0);
    if (st.st_size == 0)
        std::fclose(in);
    zip_int64_t index = -1;
    if (!data ||
        (index = zip_file_add(archive, name.toUtf8().constData(), data, ZIP_FL_ENC_UTF_8)) < 0) {
        if (data)
            zip_source_free(data);
        else if (st.st_size > 0)
            std::fclose(in);
        part.reason = zipError(archive);
        zip_discard(archive);
        return;
    }
    zip_set_file_compression(archive, zip_uint64_t(index), ZIP_CM_DEFLATE, zip_uint32_t(level));
    zip_file_set_mtime(archive, zip_uint64_t(index), st.st_mtime, 0);
    if (zip_close(archive) != 0) {
        part.reason = zipError(archive);
        zip_discard(archive);
        return;
    }
    zip_t *written = zip_open(native(part.file).constData(), ZIP_RDONLY, &error);
    zip_stat_t stat;
    if (!written || zip_stat_index(written, 0, 0, &stat) != 0) {
        part.reason = written ? zipError(written)
                              : QStringLiteral("the compressed entry cannot be read back");
        if (written)
            zip_discard(written);
        return;
    }
    part.size = stat.size;
    part.compressedSize = stat.comp_size;
    part.crc = stat.crc;
    part.method = stat.comp_method;
    part.mtime = stat.mtime;
    part.ok = true;
    zip_discard(written);
}

// Hands a part's raw compressed data to the final archive, opening the part only while libzip
// copies it: an archive of 70,000 entries never holds more than one part open.
class RawPartSource {
public:
    explicit RawPartSource(const Part &part)
        : m_part(part)
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
            m_archive = zip_open(native(m_part.file).constData(), ZIP_RDONLY, &error);
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
            st->size = m_part.size;
            st->comp_size = m_part.compressedSize;
            st->comp_method = m_part.method;
            st->crc = m_part.crc;
            st->mtime = m_part.mtime;
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

    const Part &m_part;
    zip_t *m_archive = nullptr;
    zip_file_t *m_file = nullptr;
    zip_error_t m_error;
};

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

ZipArchive::ZipArchive(int compressionLevel, int threads)
    : m_level(compressionLevel)
    , m_threads(threads > 0 ? threads
                            : int(std::max(1u, std::min(4u, std::thread::hardware_concurrency()))))
{
}

ZipArchive::~ZipArchive() = default;

int ZipArchive::fail(const QString &text)
{
    m_errorText = text;
    return 0;
}

int ZipArchive::NewZip(const QString &zipFilePath)
{
    m_path.clear();
    m_entries.clear();
    m_lost.clear();
    m_errorText.clear();
    const QFileInfo target(zipFilePath);
    if (zipFilePath.isEmpty() || target.fileName().isEmpty())
        return fail(QStringLiteral("No archive path was given"));
    // The folder must take new files: the archive is written beside its final name.
    const QByteArray probe = native(target.absolutePath() + QStringLiteral("/.sorvik-zip-XXXXXX"));
    QByteArray name = probe;
    const int fd = ::mkstemp(name.data());
    if (fd < 0)
        return fail(QStringLiteral("Cannot create the archive %1: %2")
                        .arg(zipFilePath, systemError(errno)));
    ::close(fd);
    ::unlink(name.constData());
    m_path = zipFilePath;
    return 1;
}

int ZipArchive::AddFile(const QString &path, int flags)
{
    if (m_path.isEmpty())
        return fail(QStringLiteral("No archive has been started"));
    const int fd = ::open(native(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return fail(QStringLiteral("Cannot read %1: %2").arg(path, systemError(errno)));
    struct stat st;
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    if (!regular)
        return fail(QStringLiteral("%1 is not a regular file").arg(path));
    const QString name = QFileInfo(path).fileName();
    for (const Entry &entry : m_entries)
        if (entry.name == name)
            return fail(QStringLiteral("An entry named %1 is already in the archive").arg(name));
    m_entries.push_back({path, name});
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
    m_lost.clear();
    m_errorText.clear();
    const QString temporary = m_path + QStringLiteral(".tmp");
    QFile::remove(temporary);

    // Each entry on its own, as many at once as there are workers.
    std::vector<Part> parts(m_entries.size());
    for (size_t i = 0; i < parts.size(); ++i)
        parts[i].file = m_path + QStringLiteral(".part%1").arg(i);
    std::atomic<size_t> next{0};
    const auto work = [&] {
        for (size_t i = next++; i < parts.size(); i = next++)
            compressPart(m_entries[i].path, m_entries[i].name, m_level, parts[i]);
    };
    std::vector<std::thread> workers;
    const size_t count = std::min<size_t>(size_t(m_threads), parts.size());
    for (size_t i = 1; i < count; ++i)
        workers.emplace_back(work);
    work();
    for (std::thread &worker : workers)
        worker.join();

    bool written = false;
    QString failure;
    size_t kept = 0;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (parts[i].ok)
            ++kept;
        else
            m_lost.push_back({m_entries[i].path, parts[i].reason});
    }
    if (kept == 0) {
        written = writeEmptyArchive(temporary);
        if (!written)
            failure = QStringLiteral("Cannot write the archive %1").arg(temporary);
    } else {
        int error = 0;
        zip_t *archive = zip_open(native(temporary).constData(), ZIP_CREATE | ZIP_TRUNCATE, &error);
        if (!archive) {
            failure = QStringLiteral("Cannot create the archive %1").arg(temporary);
        } else {
            for (size_t i = 0; i < parts.size() && failure.isEmpty(); ++i) {
                if (!parts[i].ok)
                    continue;
                auto *raw = new RawPartSource(parts[i]);
                zip_source_t *source = zip_source_function(archive, RawPartSource::callback, raw);
                if (!source) {
                    delete raw;
                    failure = zipError(archive);
                    break;
                }
                const zip_int64_t index = zip_file_add(
                    archive, m_entries[i].name.toUtf8().constData(), source, ZIP_FL_ENC_UTF_8);
                if (index < 0) {
                    zip_source_free(source);
                    failure = zipError(archive);
                    break;
                }
                // The same method and level as the part: libzip copies the data as it is.
                zip_set_file_compression(archive, zip_uint64_t(index), parts[i].method,
                                         parts[i].method == ZIP_CM_DEFLATE ? zip_uint32_t(m_level)
                                                                           : 0);
                zip_file_set_mtime(archive, zip_uint64_t(index), parts[i].mtime, 0);
            }
            if (failure.isEmpty() && zip_close(archive) != 0)
                failure = zipError(archive);
            if (!failure.isEmpty())
                zip_discard(archive);
            written = failure.isEmpty();
        }
    }
    for (const Part &part : parts)
        QFile::remove(part.file);

    if (written && !syncFile(temporary))
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
