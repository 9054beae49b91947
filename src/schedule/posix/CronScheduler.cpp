#include "schedule/TaskScheduler.h"

#include "common/ControlText.h"
#include "common/Failure.h"
#include "schedule/posix/CronFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

// Tasks as files in a cron.d folder (SORVIK_CRON_DIR, default /etc/cron.d), which the system's
// cron daemon reads and runs. Files that are not ours, or are damaged, are left alone.
namespace {

QString cronFolder()
{
    const QString folder = qEnvironmentVariable("SORVIK_CRON_DIR");
    return folder.isEmpty() ? QStringLiteral("/etc/cron.d") : folder;
}

QString currentAccount()
{
    passwd entry{};
    passwd *found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(::geteuid(), &entry, buffer, sizeof buffer, &found) != 0 || !found)
        throw Failure(errno ? errno : ENOENT,
                      QStringLiteral("The account running Sorvik is unknown"));
    return QString::fromLocal8Bit(found->pw_name);
}

// The home folder of the account the job runs as: the saver's own HOME when it is the saver.
QString homeOf(const QString &account)
{
    if (account == currentAccount())
        return QDir::homePath();
    passwd entry{};
    passwd *found = nullptr;
    char buffer[4096];
    if (::getpwnam_r(account.toLocal8Bit().constData(), &entry, buffer, sizeof buffer, &found) !=
            0 ||
        !found)
        throw Failure(ENOENT,
                      QStringLiteral("There is no account named %1 on this computer").arg(account));
    return QString::fromLocal8Bit(found->pw_dir);
}

// Whether what `st` describes may be a task file of ours: a plain file with one name, of this
// account (or root, whose folder cron.d is), that no one else may write. Anything else is not
// ours, and cron itself refuses most of it.
bool taskFileKind(const struct stat &st)
{
    return S_ISREG(st.st_mode) && st.st_nlink == 1 &&
           (st.st_uid == ::geteuid() || st.st_uid == 0) && (st.st_mode & 022) == 0;
}

// The bytes of a task file, read without following a link or waiting on a FIFO; nothing when it
// is not a file that can be ours.
std::optional<QByteArray> readTaskFile(const QString &path)
{
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    QFile file;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !taskFileKind(st) || st.st_size > 1024 * 1024 ||
        !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return std::nullopt;
    }
    return file.read(1024 * 1024);
}

class CronScheduler : public TaskScheduler {
public:
    explicit CronScheduler(TaskPropertySheet &sheet)
        : m_sheet(sheet)
    {
    }

    void ReloadTasks() override
    {
        m_tasks.clear();
        const QDir folder(cronFolder());
        if (!folder.exists())
            throw Failure(
                ENOENT,
                QStringLiteral("The task folder %1 does not exist").arg(shownPath(folder.path())));
        static const QRegularExpression cronName(QStringLiteral("^[A-Za-z0-9_-]+\\z"));
        for (const QString &name : folder.entryList(QDir::AllEntries | QDir::System)) {
            if (!cronName.match(name).hasMatch())
                continue;
            const auto bytes = readTaskFile(folder.filePath(name));
            const auto parsed = bytes ? parseCronFile(*bytes) : std::nullopt;
            // A file that does not carry the name it would be saved under is not one we made.
            if (!parsed || cronFileName(parsed->name) != name)
                continue;
            m_tasks.push_back(toTask(*parsed));
        }
        std::sort(m_tasks.begin(), m_tasks.end(), [](const auto &a, const auto &b) {
            return a->name().compare(b->name(), Qt::CaseInsensitive) < 0;
        });
    }

    int count() const override { return int(m_tasks.size()); }

    std::shared_ptr<ScheduledTask> GetTask(const QVariant &nameOrPosition) override
    {
        if (nameOrPosition.typeId() == QMetaType::QString) {
            const QString name = nameOrPosition.toString();
            for (const auto &task : m_tasks)
                if (task->name().compare(name, Qt::CaseInsensitive) == 0)
                    return task;
            throw Failure(ENOENT, QStringLiteral("There is no task named %1").arg(name));
        }
        bool ok = false;
        const int position = nameOrPosition.toInt(&ok);
        if (!ok || position < 1 || position > count())
            throw Failure(
                9,
                QStringLiteral("There is no task at position %1").arg(nameOrPosition.toString()));
        return m_tasks[size_t(position - 1)];
    }

    std::shared_ptr<ScheduledTask> CreateTask(const QString &name) override
    {
        if (name.trimmed().isEmpty())
            return nullptr;
        // Whatever stands at the name (a dangling link too) keeps it.
        struct stat st {};
        if (::lstat(
                QFile::encodeName(cronFolder() + QLatin1Char('/') + cronFileName(name)).constData(),
                &st) == 0)
            throw Failure(EEXIST, QStringLiteral("A task named %1 exists already").arg(name));
        return std::make_shared<ScheduledTask>(*this, name);
    }

    void RemoveTask(const QVariant &name) override
    {
        const auto task = GetTask(name.toString());
        const QString path = cronFolder() + QLatin1Char('/') + cronFileName(task->name());
        if (::unlink(QFile::encodeName(path).constData()) != 0)
            throw Failure(errno,
                          QStringLiteral("Cannot delete the task file %1: %2")
                              .arg(shownPath(path), QString::fromLocal8Bit(std::strerror(errno))));
        m_tasks.erase(std::find(m_tasks.begin(), m_tasks.end(), task));
    }

    void saveTask(ScheduledTask &task) override
    {
        CronTask record;
        static_cast<TaskSettings &>(record) = task.settings();
        if (record.account.isEmpty())
            record.account = currentAccount();
        const QString fileName = cronFileName(task.name());
        const QString home = homeOf(record.account);
        record.lastRunStamp =
            home + QStringLiteral("/.local/state/sorvik/") + fileName + QStringLiteral(".lastrun");
        // The job finds the same served product and settings as the window that saved it.
        if (record.account == currentAccount())
            record.environment.emplace_back(QStringLiteral("HOME"), home);
        for (const char *name : {"SORVIK_REGISTRY", "XDG_CONFIG_HOME"}) {
            const QString value = qEnvironmentVariable(name);
            if (!value.isEmpty())
                record.environment.emplace_back(QLatin1String(name), value);
        }
        write(fileName, formatCronFile(record));
        task.setAccount(record.account);
    }

    void showPropertySheet(ScheduledTask &task, QObject *owner) override
    {
        if (m_sheet.edit(task, owner))
            saveTask(task);
    }

private:
    std::shared_ptr<ScheduledTask> toTask(const CronTask &record)
    {
        auto task = std::make_shared<ScheduledTask>(*this, record.name);
        // A damaged text in a file of ours must not hide the task: it is shown without it.
        trapSilently([&] { task->setApplicationName(record.applicationName); });
        trapSilently([&] { task->setCommandLine(record.commandLine); });
        trapSilently([&] { task->setCreator(record.creator); });
        trapSilently([&] { task->setAccount(record.account); });
        task->setFlags(record.flags);
        task->Triggers() = record.triggers;
        if (!record.lastRunStamp.isEmpty()) {
            const QFileInfo stamp(record.lastRunStamp);
            if (stamp.exists())
                task->setLastRunTime(stamp.lastModified());
        }
        return task;
    }

    // Written beside its name and renamed into place: cron never reads half a file. The
    // temporary name has a dot, so cron passes it over.
    void write(const QString &fileName, const QByteArray &content)
    {
        const QString folder = cronFolder();
        QByteArray temporary = QFile::encodeName(folder + QStringLiteral("/.sorvik-XXXXXX"));
        const int fd = ::mkstemp(temporary.data());
        if (fd < 0)
            throw Failure(
                errno, QStringLiteral("Cannot write a task file in %1: %2")
                           .arg(shownPath(folder), QString::fromLocal8Bit(std::strerror(errno))));
        bool ok = ::fchmod(fd, 0644) == 0;
        for (qsizetype done = 0; ok && done < content.size();) {
            const ssize_t n =
                ::write(fd, content.constData() + done, size_t(content.size() - done));
            ok = n > 0;
            done += n > 0 ? n : 0;
        }
        ok = ok && ::fsync(fd) == 0;
        const int error = errno;
        ok = (::close(fd) == 0) && ok;
        const QByteArray target = QFile::encodeName(folder + QLatin1Char('/') + fileName);
        // Only a file of ours is replaced: what took the name since the list was read stays.
        struct stat there {};
        if (ok && ::lstat(target.constData(), &there) == 0 && !taskFileKind(there)) {
            ::unlink(temporary.constData());
            throw Failure(EEXIST, QStringLiteral("Cannot write the task file %1: something that "
                                                 "is not a task file of Sorvik's is there")
                                      .arg(shownPath(QFile::decodeName(target))));
        }
        if (!ok || ::rename(temporary.constData(), target.constData()) != 0) {
            const int failure = ok ? errno : error;
            ::unlink(temporary.constData());
            throw Failure(failure, QStringLiteral("Cannot write the task file %1: %2")
                                       .arg(shownPath(QFile::decodeName(target)),
                                            QString::fromLocal8Bit(std::strerror(failure))));
        }
    }

    TaskPropertySheet &m_sheet;
    std::vector<std::shared_ptr<ScheduledTask>> m_tasks;
};

} // namespace

void stampScheduledStart()
{
    const QByteArray stamp = qgetenv(lastRunStampVariable);
    // What this process starts later is no scheduled start of its own.
    qunsetenv(lastRunStampVariable);
    if (stamp.isEmpty())
        return;
    // Only our own cron lines set it, always to an absolute path: anything else is told, not
    // guessed at against whatever folder the start happened in.
    if (!stamp.startsWith('/')) {
        std::fprintf(stderr,
                     "Sorvik: the start of this scheduled run cannot be recorded in %s: the path "
                     "is not absolute\n",
                     escapeControls(QFile::decodeName(stamp)).toLocal8Bit().constData());
        return;
    }
    QDir().mkpath(QFileInfo(QFile::decodeName(stamp)).absolutePath());
    const int fd =
        ::open(stamp.constData(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    // The path comes from the environment: shown escaped, it stays on its line.
    if (fd < 0 || ::futimens(fd, nullptr) != 0)
        std::fprintf(stderr,
                     "Sorvik: the start of this scheduled run cannot be recorded in %s: %s\n",
                     escapeControls(QFile::decodeName(stamp)).toLocal8Bit().constData(),
                     std::strerror(errno));
    if (fd >= 0)
        ::close(fd);
}

std::unique_ptr<TaskScheduler> makeTaskScheduler(TaskPropertySheet &sheet)
{
    return std::make_unique<CronScheduler>(sheet);
}
