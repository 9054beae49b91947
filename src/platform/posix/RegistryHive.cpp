#include "common/ControlText.h"
#include "platform/FileSystem.h"
#include "platform/posix/RegFile.h"

#include <QScopeGuard>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The registry of this platform: a `.reg` file, read afresh on every key that is opened so that
// the served product's changes are seen without a restart. A missing or unreadable file means that
// every key is missing; why it could not be read is kept for whoever asks.
namespace {

// Far beyond any real registry file, and small enough that parsing one stays cheap.
constexpr qint64 sizeCap = qint64(64) << 20;

class HiveKey : public RegistryKey {
public:
    explicit HiveKey(RegFile::Values values)
        : m_values(std::move(values))
    {
    }
    std::optional<RegistryValue> queryValue(const QString &name) const override
    {
        const auto it = m_values.constFind(name.toCaseFolded());
        if (it == m_values.constEnd())
            return std::nullopt;
        return it.value();
    }

private:
    RegFile::Values m_values;
};

QString cannotRead(const QString &path, const QString &reason)
{
    return QStringLiteral("Cannot read registry file '%1': %2").arg(shownPath(path), reason);
}

// The whole file, or nothing with the reason in `problem`. The path may name a FIFO, a device or a
// folder: it is opened without waiting for a writer, and anything but a regular file (a link to
// one is fine) is refused before a byte is read.
std::optional<QByteArray> readHiveFile(const QString &path, QString &problem)
{
    const int fd = ::open(nativePath(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        problem =
            FileSystemError(errno, QStringLiteral("Cannot open registry file"), path).description();
        return std::nullopt;
    }
    const auto closeFile = qScopeGuard([fd] { ::close(fd); });
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        problem =
            FileSystemError(errno, QStringLiteral("Cannot read registry file"), path).description();
        return std::nullopt;
    }
    if (!S_ISREG(st.st_mode)) {
        problem = cannotRead(path, QStringLiteral("not a regular file"));
        return std::nullopt;
    }
    const QString tooLarge = cannotRead(path, QStringLiteral("larger than 64 MiB"));
    if (st.st_size > sizeCap) {
        problem = tooLarge;
        return std::nullopt;
    }
    QByteArray bytes;
    bytes.reserve(qsizetype(st.st_size));
    char block[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd, block, sizeof block);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            problem = FileSystemError(errno, QStringLiteral("Cannot read registry file"), path)
                          .description();
            return std::nullopt;
        }
        if (n == 0)
            return bytes;
        // The file may grow while it is read.
        if (bytes.size() + n > sizeCap) {
            problem = tooLarge;
            return std::nullopt;
        }
        bytes.append(block, qsizetype(n));
    }
}

class RegistryHive : public Registry {
public:
    explicit RegistryHive(QString path)
        : m_path(std::move(path))
    {
    }
    std::unique_ptr<RegistryKey> openKey(quint32 root, const QString &path) const override
    {
        m_problem.clear();
        const auto bytes = readHiveFile(m_path, m_problem);
        if (!bytes)
            return nullptr;
        const RegFile hive = RegFile::parse(*bytes);
        if (!hive.hasHeader()) {
            m_problem = cannotRead(m_path, QStringLiteral("it does not start with \"Windows "
                                                          "Registry Editor Version 5.00\" or "
                                                          "\"REGEDIT4\""));
            return nullptr;
        }
        const RegFile::Values *values = hive.key(root, path);
        if (!values)
            return nullptr;
        return std::make_unique<HiveKey>(*values);
    }
    std::vector<NamedRegistryValue> valuesBelow(quint32 root, const QString &path) const override
    {
        m_problem.clear();
        const auto bytes = readHiveFile(m_path, m_problem);
        if (!bytes)
            return {};
        return RegFile::parse(*bytes).valuesBelow(root, path);
    }
    QString problem() const override { return m_problem; }

private:
    QString m_path;
    mutable QString m_problem; // of the last read
};

} // namespace

QString registryLocation()
{
    const QString path = qEnvironmentVariable("SORVIK_REGISTRY");
    return path.isEmpty() ? QStringLiteral("/etc/sorvik/registry.reg") : path;
}

std::unique_ptr<Registry> makeRegistry()
{
    return std::make_unique<RegistryHive>(registryLocation());
}
