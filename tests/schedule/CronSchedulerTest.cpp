#include "common/Failure.h"
#include "common/TimeText.h"
#include "schedule/TaskScheduler.h"
#include "schedule/posix/CronFile.h"

#include "SavedTask.h"
#include "app/Obstacles.h"
#include "support/ScriptedPropertySheet.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <pwd.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

namespace {

// The command of a schedule line as cron hands it to the shell: a backslash before % or another
// backslash is taken away, and a bare % ends the command.
QString commandAsCronReadsIt(const QString &command)
{
    QString out;
    for (qsizetype i = 0; i < command.size(); ++i) {
        const QChar c = command.at(i);
        if (c == u'%')
            break;
        const bool escape = c == u'\\' && i + 1 < command.size() &&
                            (command.at(i + 1) == u'%' || command.at(i + 1) == u'\\');
        out += escape ? command.at(++i) : c;
    }
    return out;
}

// A task file as cron reads it: its environment lines, and its schedule lines as minute, hour,
// day, month, weekday, account and the command the shell gets; those commented out by a disabled
// task apart.
struct CronView {
    QStringList environment;
    std::vector<QStringList> live, disabled;
};

CronView asCronReadsIt(const QByteArray &file)
{
    CronView view;
    for (QString line : QString::fromUtf8(file).split(QLatin1Char('\n'))) {
        auto *lines = &view.live;
        if (line.startsWith(QLatin1String("#disabled# "))) {
            line = line.mid(11);
            lines = &view.disabled;
        }
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        if (QRegularExpression(u"^[A-Za-z_]+="_s).match(line).hasMatch()) {
            view.environment << line;
            continue;
        }
        const QStringList fields = line.split(QLatin1Char(' '));
        lines->push_back(fields.mid(0, 6)
                         << commandAsCronReadsIt(fields.mid(6).join(QLatin1Char(' '))));
    }
    return view;
}

class CronSchedulerTest : public TempEnvironment {
protected:
    void SetUp() override
    {
        TempEnvironment::SetUp();
        scheduler = makeTaskScheduler(sheet);
    }

    QStringList cronFiles() const
    {
        return QDir(path("cron.d")).entryList(QDir::Files | QDir::Hidden);
    }
    QByteArray fileOf(const QString &name) const
    {
        return readFile("cron.d/" + cronFileName(name));
    }
    // Where a started task's program stamps the start.
    QString stampOf(const QString &name) const
    {
        return path("home/.local/state/sorvik/") + cronFileName(name) + u".lastrun"_s;
    }

    ScriptedPropertySheet sheet;
    std::unique_ptr<TaskScheduler> scheduler;
};

// Tasks over generated schedules (every 1, 2, 3 and 7 days, begun the day before the last run
// that is due today, on it and the day after, at any time of day), of programs whose paths hold
// what cron and the shell read specially, under names that do too: each file is one job cron
// runs as this account with the saver's environment, commented out while the task is disabled;
// the job line, run by the shell as cron hands it over, starts the program with "/Silent" and the
// path of its stamp on the days of the trigger only, says nothing (cron mails what a job prints)
// and leaves the stamp to the program. The next run after any moment is the one counted out day
// by day from the begin day at the trigger's minute.
TEST_F(CronSchedulerTest, EachTaskIsAJobCronRunsOnItsDaysOnly)
{
    qputenv("SORVIK_REGISTRY", "/srv/orvel/registry.reg");
    const QString record = path("started-with");
    const QStringList folders{u"program"_s, u"opt/O'Neil"_s, u"opt/50% \"off\""_s,
                              u"opt/back\\slash\\\\twice"_s, u"opt/a\\%b $HOME `x`"_s};
    for (const QString &folder : folders) {
        writeFile(folder + u"/Sorvik"_s,
                  "#!/bin/sh\nprintf '%s|' \"$@\" \"$SORVIK_LAST_RUN_STAMP\" > '" +
                      QFile::encodeName(record) + "'\n");
        QFile::setPermissions(path(folder + u"/Sorvik"_s), QFile::ReadOwner | QFile::ExeOwner);
    }
    const QStringList names{u"Orvel File Archive SRV01 / nightly?"_s, u"Archive\\new"_s,
                            u"50% \\% \\\\ it's"_s, u"#disabled# x"_s};
    const QString account = QString::fromLocal8Bit(::getpwuid(::geteuid())->pw_name);
    const QStringList environment{u"HOME="_s + path("home"),
                                  u"SORVIK_REGISTRY=/srv/orvel/registry.reg"_s,
                                  u"XDG_CONFIG_HOME="_s + path("config")};
    const QDate today = QDate::currentDate();
    std::mt19937 random(20261207);
    QStringList saved;
    // The job runs the shell's word for what it was given, or nothing.
    const auto runJob = [&](const QStringList &job) {
        QFile::remove(record);
        const Ran shell = runTool(u"/bin/sh"_s, {u"-c"_s, job.value(6)});
        EXPECT_EQ(shell.output + shell.errors, QByteArray());
        return QString::fromUtf8(readFile("started-with"));
    };
    for (const int every : {1, 2, 3, 7}) {
        for (const int daysAgo : {-1, 0, 1, every - 1, every, every + 1}) {
            const QString name = names.value(saved.size(), u"task %1"_s.arg(saved.size()));
            const QDateTime begin(
                today.addDays(-daysAgo),
                QTime(int(random() % 24), int(random() % 60), int(random() % 60)));
            const bool enabled = saved.size() % 3 != 1;
            SCOPED_TRACE(name.toStdString() + ": every " + std::to_string(every) + ", begun " +
                         std::to_string(daysAgo) + " days ago, " + (enabled ? "on" : "off"));
            auto task = saveTask(*scheduler, name,
                                 path(folders[saved.size() % folders.size()]) + u"/Sorvik"_s,
                                 enabled ? 0 : TaskFlags::Disabled, 1, every, begin);
            saved << name;
            const QByteArray file = fileOf(name);
            CronView view = asCronReadsIt(file);
            EXPECT_EQ(view.environment, environment);
            ASSERT_EQ((enabled ? view.live : view.disabled).size(), 1u);
            EXPECT_EQ((enabled ? view.disabled : view.live).size(), 0u);
            EXPECT_EQ((enabled ? view.live : view.disabled)[0].mid(0, 6).join(u' '),
                      u"%1 %2 * * * %3"_s.arg(begin.time().minute())
                          .arg(begin.time().hour())
                          .arg(account));
            const QString each = every == 1 ? u"day"_s : u"%1 days"_s.arg(every);
            EXPECT_EQ(task->Triggers()[0].Text(), u"At "_s + begin.toString(u"HH:mm"_s) +
                                                      u" every "_s + each + u", starting "_s +
                                                      shortDateText(begin.date()));
            if (!enabled) {
                // Enabled only when its property sheet is confirmed.
                sheet.change = [](ScheduledTask &t) { t.setFlags(0); };
                sheet.confirm = false;
                task->ShowProperties();
                EXPECT_EQ(asCronReadsIt(fileOf(name)).live.size(), 0u) << "Cancel changes nothing";
                sheet.confirm = true;
                task->ShowProperties();
                view = asCronReadsIt(fileOf(name));
                ASSERT_EQ(view.live.size(), 1u);
            }
            const bool due = daysAgo >= 0 && daysAgo % every == 0;
            EXPECT_EQ(runJob(view.live[0]),
                      due ? u"/Silent|"_s + stampOf(name) + u"|"_s : QString());
            EXPECT_FALSE(QFile::exists(stampOf(name))) << "only the started program touches it";
            for (int day = -2; day < 2 * every + 2; ++day) {
                const QTime at = begin.time();
                for (const QTime time : {QTime(0, 0), QTime(at.hour(), at.minute()).addSecs(-1),
                                         QTime(at.hour(), at.minute()),
                                         QTime(at.hour(), at.minute(), 1), QTime(23, 59, 59)}) {
                    const QDateTime after(begin.date().addDays(day), time);
                    QDateTime run(begin.date(), QTime(at.hour(), at.minute()));
                    while (run <= after)
                        run = run.addDays(every);
                    EXPECT_EQ(task->nextRunAfter(after), run) << qPrintable(after.toString());
                }
            }
        }
    }
    // A program that is not there (uninstalled, its tasks kept) is not started, without a word,
    // and its stamp stays as it was.
    saveTask(*scheduler, u"Missing"_s, path("gone/Sorvik"), 0, 1, 1, QDateTime::currentDateTime());
    EXPECT_EQ(runJob(asCronReadsIt(fileOf(u"Missing"_s)).live.at(0)), QString());
    saved << u"Missing"_s;
    // The names come back from the files as they were, each from a file cron accepts.
    scheduler->ReloadTasks();
    ASSERT_EQ(scheduler->count(), saved.size());
    for (const QString &name : saved)
        EXPECT_EQ(scheduler->GetTask(name)->name(), name);
    EXPECT_FALSE(scheduler->GetTask(u"Missing"_s)->LastRunTime().isValid());
    EXPECT_EQ(cronFiles().filter(QRegularExpression(u"^[A-Za-z0-9_-]+$"_s)).size(), saved.size());
}

// Files that are not ours, damaged, or copies of ours under another name are not listed, nor
// removed by name; ours are listed by name, in any letter case, and by position.
TEST_F(CronSchedulerTest, TasksAreListedByPositionAndRemovedByName)
{
    writeFile("cron.d/backup", "17 3 * * * root /usr/local/bin/backup\n");
    writeFile("cron.d/" + cronFileName(u"Damaged"_s),
              "# Sorvik scheduled task. Kept by Sorvik's scheduling window; edit it there.\n"
              "# sorvik-name: Damaged\n# sorvik-flags: x\n");
    saveTask(*scheduler, u"b_task"_s, path("program/Sorvik"));
    saveTask(*scheduler, u"A_task"_s, path("program/Sorvik"));
    for (const QString &copy : {u"sorvik-copy"_s, cronFileName(u"Other"_s)})
        writeFile("cron.d/" + copy, fileOf(u"A_task"_s));
    scheduler->ReloadTasks();
    ASSERT_EQ(scheduler->count(), 2);
    EXPECT_EQ(scheduler->GetTask(2)->name(), u"b_task"_s);
    EXPECT_EQ(scheduler->GetTask(u"B_TASK"_s)->name(), u"b_task"_s);
    EXPECT_THROW(scheduler->GetTask(3), Failure);
    EXPECT_THROW(scheduler->CreateTask(u"A_task"_s), Failure);

    scheduler->RemoveTask(u"A_task"_s);
    scheduler->ReloadTasks();
    ASSERT_EQ(scheduler->count(), 1);
    EXPECT_EQ(cronFiles().size(), 5) << "the foreign, damaged and copied files stay";
    EXPECT_EQ(readFile("cron.d/backup"), QByteArray("17 3 * * * root /usr/local/bin/backup\n"));
    EXPECT_THROW(scheduler->RemoveTask(u"backup"_s), Failure);
}

// The program itself stamps its start, the first thing it does: even a start it then refuses. The
// last run is the time of the stamp.
TEST_F(CronSchedulerTest, LastRunIsTheTimeTheProgramStampedItsStart)
{
    saveTask(*scheduler, u"Stamped"_s, path("program/Sorvik"), 0);
    const QString stamp = stampOf(u"Stamped"_s);
    qputenv("SORVIK_LAST_RUN_STAMP", QFile::encodeName(stamp));
    EXPECT_EQ(runTool(builtFile(u"Sorvik"_s), {u"/Silent"_s}).status, 2)
        << "no served product here";
    scheduler->ReloadTasks();
    EXPECT_TRUE(scheduler->GetTask(1)->LastRunTime().isValid());

    const QDateTime ran(QDate(2026, 12, 5), QTime(14, 5, 0));
    const utimbuf times{time_t(ran.toSecsSinceEpoch()), time_t(ran.toSecsSinceEpoch())};
    ASSERT_EQ(::utime(QFile::encodeName(stamp).constData(), &times), 0);
    scheduler->ReloadTasks();
    EXPECT_EQ(scheduler->GetTask(1)->LastRunTime(), ran);
    qputenv("SORVIK_LAST_RUN_STAMP", "relative.stamp");
    EXPECT_TRUE(runTool(builtFile(u"Sorvik"_s), {u"/Silent"_s}).errors.contains("not absolute"));
}

// A value cron cannot carry as it is (it would end its line, or cron would trim or unquote it),
// or an account that is not there, stops the save before anything is written.
TEST_F(CronSchedulerTest, WhatCronCannotCarryIsRefusedBeforeAnythingIsWritten)
{
    const struct {
        const char *variable;
        QByteArray value;
    } refused[] = {
        {"HOME", "/root\n* * * * * root touch /tmp/owned"},
        {"HOME", "/root\r"},
        {"HOME", "\"/root"},
        {"SORVIK_REGISTRY", "/srv/registry.reg\n* * * * * root id"},
        {"XDG_CONFIG_HOME", "/srv/config "},
        {"account", "no-such-account-here"},
    };
    for (const auto &r : refused) {
        const QByteArray saved = qgetenv(r.variable);
        const bool account = r.variable == std::string("account");
        auto task = scheduler->CreateTask(u"Refused"_s);
        task->setApplicationName(path("program/Sorvik"));
        account ? task->setAccount(QString::fromLatin1(r.value))
                : void(qputenv(r.variable, r.value));
        EXPECT_THROW(task->Save(), Failure) << r.variable;
        if (!account)
            qputenv(r.variable, saved);
        EXPECT_TRUE(cronFiles().isEmpty()) << r.variable;
    }
    EXPECT_THROW(scheduler->CreateTask(u"Someone"_s)->setCreator(u"two\nlines"_s), Failure);
    qputenv("SORVIK_CRON_DIR", QFile::encodeName(path("missing")));
    EXPECT_THROW(scheduler->ReloadTasks(), Failure);
}

// What stands in the cron folder under a task's name without being a task file of ours (each
// obstacle, a copy of a task file too): never listed or read, never taken by a new task, never
// replaced by a saved one whose file was swapped for it, and nothing waits on it or is left
// beside it.
TEST_F(CronSchedulerTest, WhatIsNotOurTaskFileIsNeitherListedNorReplaced)
{
    const HangGuard guard;
    saveTask(*scheduler, u"model"_s, path("program/Sorvik"));
    const QByteArray ours = fileOf(u"model"_s);
    writeFile("target", ours);
    const QString at = path("cron.d/") + cronFileName(u"model"_s);
    const QByteArray native = QFile::encodeName(at);
    for (const Obstacle &obstacle : obstacles) {
        if (obstacle.needsRoot && ::geteuid() != 0)
            continue;
        SCOPED_TRACE(obstacle.what);
        ::unlink(native.constData());
        ::rmdir(native.constData());
        saveTask(*scheduler, u"model"_s, path("program/Sorvik"));
        scheduler->ReloadTasks();
        ASSERT_EQ(scheduler->count(), 1);
        const auto listed = scheduler->GetTask(1);
        ::unlink(native.constData());
        obstacle.make(at, path(QString()));
        struct stat before {};
        ::lstat(native.constData(), &before);
        EXPECT_THROW(listed->Save(), Failure);
        scheduler->ReloadTasks();
        EXPECT_EQ(scheduler->count(), 0);
        EXPECT_THROW(scheduler->CreateTask(u"model"_s), Failure);
        struct stat after {};
        ::lstat(native.constData(), &after);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(readFile("target"), ours);
        EXPECT_EQ(
            QDir(path("cron.d"))
                .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
            QStringList{cronFileName(u"model"_s)})
            << "no temporary left";
    }
}

// The purge script, run on a root of its own: only the program's own task files go, never a file
// that almost matches (the marker on another line or almost the marker, a name of another form),
// a link, a FIFO or a folder; the program's folders go, a link among them as a link.
TEST_F(CronSchedulerTest, PurgingTakesOnlyWhatIsOurs)
{
    const QByteArray marker =
        "# Sorvik scheduled task. Kept by Sorvik's scheduling window; edit it there.";
    const std::pair<QString, QByteArray> files[] = {
        {u"sorvik-ours"_s, marker + "\n# sorvik: name: ours\n"},
        {u"sorvik-Ours_2"_s, marker + "\n"},
        {u"sorvik-second-line"_s, "# someone else's\n" + marker + "\n"},
        {u"sorvik-almost"_s, QByteArray(marker).replace('.', 'x') + "\n"},
        {u"sorvik-trailing"_s, marker + " \n"},
        {u"sorvik-crlf"_s, marker + "\r\n"},
        {u"sorvik-ours.dpkg-old"_s, marker + "\n"},
        {u"Sorvik-upper"_s, marker + "\n"},
        {u"xsorvik-prefixed"_s, marker + "\n"},
    };
    QStringList kept{u"sorvik-fifo"_s, u"sorvik-folder"_s, u"sorvik-link"_s};
    for (const auto &[name, content] : files) {
        writeFile(u"root/etc/cron.d/"_s + name, content);
        if (name != u"sorvik-ours"_s && name != u"sorvik-Ours_2"_s)
            kept << name;
    }
    writeFile("root/elsewhere/task", marker + "\n");
    QFile::link(path("root/elsewhere/task"), path("root/etc/cron.d/sorvik-link"));
    ::mkfifo(QFile::encodeName(path("root/etc/cron.d/sorvik-fifo")).constData(), 0644);
    QDir().mkpath(path("root/etc/cron.d/sorvik-folder"));
    for (const char *file : {"Sorvik", ".Sorvik.lock", "ZIPS/LOG_Archive.ZIP", "TempDiags/copy"})
        writeFile(u"root/opt/sorvik/"_s + QLatin1String(file), "ours");
    writeFile("root/kept-logs/Sorvik_Log.TXT", "kept");
    QFile::link(path("root/kept-logs"), path("root/opt/sorvik/logs"));

    const HangGuard guard; // the script must not wait on the FIFO
    qputenv("DPKG_ROOT", QFile::encodeName(path("root")));
    const Ran purge = runTool(
        u"/bin/sh"_s, {QStringLiteral(SORVIK_SOURCE_DIR "/packaging/sorvik.postrm"), u"purge"_s});
    EXPECT_EQ(purge.status, 0) << purge.errors.toStdString();

    QStringList left = QDir(path("root/etc/cron.d"))
                           .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    left.sort();
    kept.sort();
    EXPECT_EQ(left, kept);
    EXPECT_EQ(QDir(path("root/opt/sorvik"))
                  .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{u"Sorvik"_s});
    EXPECT_EQ(readFile("root/kept-logs/Sorvik_Log.TXT"), QByteArray("kept"));
    EXPECT_EQ(readFile("root/elsewhere/task"), marker + "\n");
}

} // namespace
