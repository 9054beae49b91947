#include "app/SettingsFile.h"

#include "app/IniText.h"
#include "common/ControlText.h"
#include "common/Failure.h"
#include "platform/FileSystem.h"
#include "platform/WholeTransfer.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QStandardPaths>

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Far beyond a few settings; a file this large is not one the program wrote.
constexpr qint64 sizeCap = 1 << 20;

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

[[noreturn]] void refuse(int number, const QString &what, const QString &path,
                         const QString &reason)
{
    throw Failure(number,
                  QStringLiteral("The %1 '%2' is not used: %3").arg(what, shownPath(path), reason));
}

class Descriptor {
public:
    explicit Descriptor(int fd)
        : m_fd(fd)
    {
    }
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

// Whose files are read: the account's own, or for the computer's settings root's as well.
enum class Owner { Account, AccountOrRoot };

// Why this account should not trust what `st` describes; empty when it may.
QString distrust(const struct stat &st, Owner owner)
{
    const bool root = owner == Owner::AccountOrRoot && st.st_uid == 0;
    if (st.st_uid != ::geteuid() && !root)
        return QStringLiteral("it belongs to another account");
    // The owner's own group may write (a umask of 002 gives files that mode, where every
    // account has a group of its own); any other group, or the world, may not.
    const bool ownGroup = st.st_gid == ::getegid() || (root && st.st_gid == 0);
    if ((st.st_mode & S_IWOTH) != 0 || ((st.st_mode & S_IWGRP) != 0 && !ownGroup))
        return QStringLiteral("others may write to it");
    return QString();
}

// The settings folder, open, or nothing when it does not exist yet.
std::optional<int> openFolder(const QString &folder, Owner owner = Owner::Account)
{
    const int fd =
        ::open(nativePath(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0 && errno == ENOENT)
        return std::nullopt;
    if (fd < 0)
        refuse(errno, QStringLiteral("settings folder"), folder, systemError(errno));
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        const int error = errno;
        ::close(fd);
        refuse(error, QStringLiteral("settings folder"), folder, systemError(error));
    }
    if (const QString reason = distrust(st, owner); !reason.isEmpty()) {
        ::close(fd);
        refuse(EPERM, QStringLiteral("settings folder"), folder, reason);
    }
    return fd;
}

// The file's bytes, or nothing when there is no file.
std::optional<QByteArray> readFile(int folder, const QString &name, const QString &path,
                                   Owner owner = Owner::Account)
{
    const QString what = QStringLiteral("settings file");
    Descriptor fd(::openat(folder, nativePath(name).constData(),
                           O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (fd.get() < 0 && errno == ENOENT)
        return std::nullopt;
    if (fd.get() < 0 && errno == ELOOP)
        refuse(ELOOP, what, path, QStringLiteral("it is a symbolic link"));
    if (fd.get() < 0)
        refuse(errno, what, path, systemError(errno));
    struct stat st;
    if (::fstat(fd.get(), &st) != 0)
        refuse(errno, what, path, systemError(errno));
    if (!S_ISREG(st.st_mode))
        refuse(EINVAL, what, path, QStringLiteral("it is not a regular file"));
    if (const QString reason = distrust(st, owner); !reason.isEmpty())
        refuse(EPERM, what, path, reason);
    if (st.st_size > sizeCap)
        refuse(EFBIG, what, path, QStringLiteral("it is larger than 1 MiB"));
    QByteArray bytes(qsizetype(st.st_size) + 1, Qt::Uninitialized);
    const Transferred moved = transferWhole(size_t(bytes.size()), [&](size_t done) {
        return ::read(fd.get(), bytes.data() + done, size_t(bytes.size()) - done);
    });
    if (moved.error)
        refuse(moved.error, what, path, systemError(moved.error));
    // It grew past what it was: it is being written by someone; whatever it holds is not whole.
    if (moved.bytes > size_t(st.st_size))
        refuse(EAGAIN, what, path, QStringLiteral("it changes while it is read"));
    bytes.resize(qsizetype(moved.bytes));
    return bytes;
}

// Writes `bytes` under a new name in the folder and renames it into place: the file is whole or
// the old one stays.
void install(int folder, const QString &name, const QString &path, const QByteArray &bytes)
{
    const auto cannot = [&](int error, const QString &reason) {
        throw Failure(
            error,
            QStringLiteral("Cannot save the settings to '%1': %2").arg(shownPath(path), reason));
    };
    QByteArray temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 16; ++attempt) {
        temporary = nativePath(QLatin1Char('.') + name) + '.' +
                    QByteArray::number(QRandomGenerator::global()->generate(), 16);
        fd = ::openat(folder, temporary.constData(),
                      O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0 && errno != EEXIST)
            cannot(errno, systemError(errno));
    }
    if (fd < 0)
        cannot(EEXIST, QStringLiteral("no temporary name is free"));
    Descriptor written(fd);
    auto removeTemporary = qScopeGuard([&] { ::unlinkat(folder, temporary.constData(), 0); });
    const Transferred moved = transferWhole(size_t(bytes.size()), [&](size_t done) {
        return ::write(fd, bytes.constData() + done, size_t(bytes.size()) - done);
    });
    if (moved.bytes < size_t(bytes.size()))
        cannot(moved.error ? moved.error : EIO, systemError(moved.error ? moved.error : EIO));
    struct stat mine;
    if (::fchmod(fd, 0600) != 0 || ::fsync(fd) != 0 || ::fstat(fd, &mine) != 0)
        cannot(errno, systemError(errno));
    if (mine.st_size != bytes.size())
        cannot(EIO, QStringLiteral("the new file holds %1 of %2 bytes")
                        .arg(QString::number(mine.st_size), QString::number(bytes.size())));

    // Whatever took the name since it was read must still be ours to replace.
    const QByteArray target = nativePath(name);
    struct stat there;
    if (::fstatat(folder, target.constData(), &there, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(there.st_mode))
            refuse(ELOOP, QStringLiteral("settings file"), path,
                   QStringLiteral("it is a symbolic link"));
        if (!S_ISREG(there.st_mode))
            refuse(EINVAL, QStringLiteral("settings file"), path,
                   QStringLiteral("it is not a regular file"));
        if (there.st_uid != ::geteuid())
            refuse(EPERM, QStringLiteral("settings file"), path,
                   QStringLiteral("it belongs to another account"));
    }
    if (::renameat(folder, temporary.constData(), folder, target.constData()) != 0)
        cannot(errno, systemError(errno));
    removeTemporary.dismiss();
    struct stat placed;
    if (::fstatat(folder, target.constData(), &placed, AT_SYMLINK_NOFOLLOW) != 0 ||
        placed.st_ino != mine.st_ino || placed.st_dev != mine.st_dev ||
        placed.st_size != mine.st_size)
        cannot(EIO, QStringLiteral("another file took its place at once"));
}

// A file with a line nobody can tell the meaning of is neither read nor rewritten: a value in it
// might have been meant.
void refuseUnclear(const IniText &text, const QString &path)
{
    if (!text.problem().isEmpty())
        throw Failure(EINVAL, QStringLiteral("The settings file '%1' cannot be read: %2")
                                  .arg(shownPath(path), text.problem()));
}

// One settings file; nothing when there is none.
std::optional<IniText> readText(const QString &path, Owner owner)
{
    const QFileInfo file(path);
    const std::optional<int> folder = openFolder(file.path(), owner);
    if (!folder)
        return std::nullopt;
    Descriptor open(*folder);
    const std::optional<QByteArray> bytes = readFile(open.get(), file.fileName(), path, owner);
    if (!bytes)
        return std::nullopt;
    IniText text(*bytes);
    refuseUnclear(text, path);
    return text;
}

// One group of one settings file; nothing when there is no file.
std::optional<QVariantMap> readLayer(const QString &path, const QString &group, Owner owner)
{
    const std::optional<IniText> text = readText(path, owner);
    return text ? std::optional(text->group(group)) : std::nullopt;
}

bool sameValue(const QVariant &a, const QVariant &b)
{
    if (a.typeId() == QMetaType::QString || b.typeId() == QMetaType::QString)
        return a.toString() == b.toString();
    return a == b;
}

// The files a group is read from, in order: the computer's, then the account's, which wins.
std::array<std::pair<QString, Owner>, 2> layersOver(const QString &accounts)
{
    return {{{SettingsFile::systemPath(), Owner::AccountOrRoot}, {accounts, Owner::Account}}};
}

} // namespace

QString SettingsFile::systemPath()
{
    QString folder = qEnvironmentVariable("SORVIK_SYSCONFDIR");
    if (folder.isEmpty())
        folder = QStringLiteral("/etc/sorvik");
    return folder + QStringLiteral("/sorvik.ini");
}

SettingsFile::SettingsFile(const QString &application)
    : m_folder(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
               QLatin1Char('/') + application)
    , m_fileName(application + QStringLiteral(".ini"))
    , m_path(m_folder + QLatin1Char('/') + m_fileName)
{
}

SettingsFile::Group SettingsFile::readGroupFrom(const QString &group) const
{
    Group read;
    for (const auto &[path, owner] : layersOver(m_path)) {
        const QVariantMap values = readLayer(path, group, owner).value_or(QVariantMap());
        for (auto value = values.begin(); value != values.end(); ++value) {
            putSetting(read.values, value.key(), value.value());
            putSetting(read.files, value.key(), path);
        }
    }
    return read;
}

QStringList SettingsFile::misplaced(const QString &group, const QStringList &keys) const
{
    QStringList found;
    for (const auto &[path, owner] : layersOver(m_path)) {
        const std::optional<IniText> text = readText(path, owner);
        for (const QString &other : text ? text->groupNames() : QStringList())
            for (const QString &key : text->group(other).keys())
                if (other.compare(group, Qt::CaseInsensitive) != 0 &&
                    keys.contains(key, Qt::CaseInsensitive))
                    found << QStringLiteral("%1 in [%2] of %3").arg(key, other, shownPath(path));
    }
    return found;
}

void SettingsFile::writeGroup(const QString &group, const QVariantMap &values)
{
    // The window's thread (window places) and the run's (the archive folder) may both write: each
    // reads, changes and puts back the whole file, so one at a time.
    static std::mutex writing;
    const std::lock_guard lock(writing);
    std::optional<int> folder = openFolder(m_folder);
    if (!folder) {
        // The parents as the settings store would make them; our own folder owner-only.
        try {
            makePrivateFolderPath(m_folder);
        } catch (const Failure &failure) {
            throw Failure(failure.number(),
                          QStringLiteral("Cannot save the settings: cannot make the folder '%1' "
                                         "(%2)")
                              .arg(shownPath(m_folder), failure.description()));
        }
        folder = openFolder(m_folder);
        if (!folder)
            throw Failure(ENOENT, QStringLiteral("Cannot save the settings: the folder '%1' is "
                                                 "gone")
                                      .arg(shownPath(m_folder)));
    }
    Descriptor open(*folder);
    IniText text(readFile(open.get(), m_fileName, m_path).value_or(QByteArray()));
    refuseUnclear(text, m_path);
    const QVariantMap system =
        readLayer(systemPath(), group, Owner::AccountOrRoot).value_or(QVariantMap());
    const QVariantMap own = text.group(group);
    QVariantMap changes;
    for (auto value = values.begin(); value != values.end(); ++value)
        if (findSetting(own, value.key()) != own.end() ||
            findSetting(system, value.key()) == system.end() ||
            !sameValue(settingValue(system, value.key()), value.value()))
            changes.insert(value.key(), value.value());
    // Most runs end with the values they started with: nothing to write.
    if (!changes.isEmpty() && text.set(group, changes))
        install(open.get(), m_fileName, m_path, text.bytes());
}
