#include "common/Failure.h"
#include "common/TimeText.h"
#include "schedule/TaskScheduler.h"
#include "schedule/posix/CronFile.h"

#include "support/ScriptedPropertySheet.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

namespace {

class CronSchedulerTest : public TempEnvironment {
protected:
    void SetUp() override
    {
        TempEnvironment::SetUp();
        scheduler = makeTaskScheduler(sheet);
    }

    // A task as the scheduling window makes it.
    std::shared_ptr<ScheduledTask>
    save(const QString &name, qint32 flags = TaskFlags::Disabled, int everyDays = 1,
         QDateTime begin = QDateTime(QDate(2026, 12, 6), QTime(14, 5, 30)))
    {
        auto task = scheduler->CreateTask(name);
        EXPECT_NE(task, nullptr);
        task->setApplicationName(path("program/Sorvik"));
        task->setCommandLine(u"/Silent "_s);
        task->setCreator(u"Orvel Sorvik [SRV01]"_s);
        TaskTrigger &trigger = task->addTrigger();
        trigger.BeginDay = begin;
        trigger.StartTime = begin;
        trigger.everyDays = everyDays;
        task->setFlags(flags);
        task->Save();
        return task;
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

    // The schedule lines of a task file, as cron reads them: minute, hour, day, month, weekday,
    // account, command.
    static std::vector<QStringList> scheduleLines(const QByteArray &file, bool includeDisabled)
    {
        std::vector<QStringList> lines;
        for (QString line : QString::fromUtf8(file).split(QLatin1Char('\n'))) {
            if (includeDisabled && line.startsWith(QLatin1String("#disabled# ")))
                line = line.mid(11);
            if (line.isEmpty() || line.startsWith(QLatin1Char('#')) ||
                QRegularExpression(u"^[A-Za-z_]+="_s).match(line).hasMatch())
                continue;
            QStringList fields = line.split(QLatin1Char(' '));
            const QString command = fields.mid(6).join(QLatin1Char(' '));
            fields = fields.mid(0, 6);
            fields << command;
            lines.push_back(fields);
        }
        return lines;
    }

    ScriptedPropertySheet sheet;
    std::unique_ptr<TaskScheduler> scheduler;
};

TEST_F(CronSchedulerTest, ATaskIsAFileCronAccepts)
{
    qputenv("SORVIK_REGISTRY", "/srv/orvel/registry.reg");
    save(u"Orvel File Archive SRV01 / nightly?"_s, 0);
    const QStringList files = cronFiles();
    ASSERT_EQ(files.size(), 1);
    EXPECT_TRUE(QRegularExpression(u"^[A-Za-z0-9_-]+$"_s).match(files[0]).hasMatch())
        << files[0].toStdString();

    const QByteArray file = fileOf(u"Orvel File Archive SRV01 / nightly?"_s);
    EXPECT_TRUE(file.endsWith('\n'));
    EXPECT_TRUE(file.contains("\nSORVIK_REGISTRY=/srv/orvel/registry.reg\n"));
    EXPECT_TRUE(file.contains("\nXDG_CONFIG_HOME=" + QFile::encodeName(path("config")) + "\n"));
    EXPECT_TRUE(file.contains("# sorvik-command-line: /Silent \n")) << "the trailing blank is kept";
    const auto lines = scheduleLines(file, false);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].mid(0, 5), (QStringList{u"5"_s, u"14"_s, u"*"_s, u"*"_s, u"*"_s}));
    EXPECT_EQ(lines[0][5], QString::fromLocal8Bit(::getpwuid(::geteuid())->pw_name));
    EXPECT_TRUE(lines[0][6].contains(u"'/Silent'"_s));
    EXPECT_FALSE(lines[0][6].contains(QRegularExpression(u"[^\\\\]%"_s)))
        << "cron would cut at a bare %";
}

// Disabled, a task keeps its line commented out; the property sheet enables it only when confirmed.
TEST_F(CronSchedulerTest, ADisabledTaskHasNoLiveScheduleLine)
{
    auto task = save(u"Nightly"_s);
    const QByteArray file = fileOf(u"Nightly"_s);
    EXPECT_TRUE(scheduleLines(file, false).empty());
    EXPECT_EQ(scheduleLines(file, true).size(), 1u);
    scheduler->ReloadTasks();
    EXPECT_FALSE(scheduler->GetTask(1)->NextRunTime().isValid());

    sheet.change = [](ScheduledTask &t) { t.setFlags(0); };
    task->ShowProperties();
    EXPECT_TRUE(scheduleLines(fileOf(u"Nightly"_s), false).empty()) << "Cancel changes nothing";
    sheet.confirm = true;
    task->ShowProperties();
    EXPECT_EQ(scheduleLines(fileOf(u"Nightly"_s), false).size(), 1u);
}

TEST_F(CronSchedulerTest, TasksAreListedByPositionAndRemovedByName)
{
    writeFile("cron.d/backup", "17 3 * * * root /usr/local/bin/backup\n");
    writeFile("cron.d/" + cronFileName(u"Damaged"_s),
              "# Sorvik scheduled task. Kept by Sorvik's scheduling window; edit it there.\n"
              "# sorvik-name: Damaged\n# sorvik-flags: x\n");
    save(u"b_task"_s);
    save(u"A_task"_s);
    scheduler->ReloadTasks();
    ASSERT_EQ(scheduler->count(), 2);
    EXPECT_EQ(scheduler->GetTask(1)->name(), u"A_task"_s);
    EXPECT_EQ(scheduler->GetTask(2)->name(), u"b_task"_s);
    EXPECT_EQ(scheduler->GetTask(u"B_TASK"_s)->name(), u"b_task"_s);
    EXPECT_THROW(scheduler->GetTask(3), Failure);
    EXPECT_THROW(scheduler->CreateTask(u"A_task"_s), Failure);

    scheduler->RemoveTask(u"A_task"_s);
    scheduler->ReloadTasks();
    ASSERT_EQ(scheduler->count(), 1);
    EXPECT_EQ(cronFiles().size(), 3) << "the foreign and damaged files stay";
    EXPECT_EQ(readFile("cron.d/backup"), QByteArray("17 3 * * * root /usr/local/bin/backup\n"));
    EXPECT_THROW(scheduler->RemoveTask(u"backup"_s), Failure);
}

// The next run after any moment, against the runs counted out one by one from the begin day at
// the trigger's minute: moments a second either side of a run, at midnight and before the begin
// day, for steps of one day and more; a disabled task has none.
TEST_F(CronSchedulerTest, NextRunFollowsTheTrigger)
{
    const QDateTime begin(QDate(2026, 12, 6), QTime(14, 5, 30));
    for (const int every : {1, 2, 3, 7}) {
        auto task = save(u"Every%1"_s.arg(every), 0, every, begin);
        for (int day = -2; day < 16; ++day) {
            for (const QTime time : {QTime(0, 0), QTime(14, 4, 59), QTime(14, 5), QTime(14, 5, 1),
                                     QTime(23, 59, 59)}) {
                const QDateTime after(begin.date().addDays(day), time);
                QDateTime run(begin.date(), QTime(14, 5));
                while (run <= after)
                    run = run.addDays(every);
                EXPECT_EQ(task->nextRunAfter(after), run)
                    << every << " " << qPrintable(after.toString());
            }
        }
        const QString each = every == 1 ? u"day"_s : u"%1 days"_s.arg(every);
        EXPECT_EQ(task->Triggers()[0].Text(),
                  u"At 14:05 every "_s + each + u", starting "_s + shortDateText(begin.date()));
        task->setFlags(TaskFlags::Disabled);
        EXPECT_FALSE(task->nextRunAfter(begin).isValid());
    }
}

// The program itself stamps its start, the first thing it does: even a start it then refuses. The
// last run is the time of the stamp.
TEST_F(CronSchedulerTest, LastRunIsTheTimeTheProgramStampedItsStart)
{
    save(u"Stamped"_s, 0);
    scheduler->ReloadTasks();
    EXPECT_FALSE(scheduler->GetTask(1)->LastRunTime().isValid()) << "never ran";

    const QString stamp = stampOf(u"Stamped"_s);
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"SORVIK_LAST_RUN_STAMP"_s, stamp);
    program.setProcessEnvironment(environment);
    ownedByTest(program);
    program.start(builtFile(u"Sorvik"_s), {u"/Silent"_s});
    ASSERT_TRUE(program.waitForFinished(60000));
    EXPECT_EQ(program.exitCode(), 2) << "no served product here";
    scheduler->ReloadTasks();
    EXPECT_TRUE(scheduler->GetTask(1)->LastRunTime().isValid());

    const QDateTime ran(QDate(2026, 12, 5), QTime(14, 5, 0));
    const utimbuf times{time_t(ran.toSecsSinceEpoch()), time_t(ran.toSecsSinceEpoch())};
    ASSERT_EQ(::utime(QFile::encodeName(stamp).constData(), &times), 0);
    scheduler->ReloadTasks();
    EXPECT_EQ(scheduler->GetTask(1)->LastRunTime(), ran);
}

// The command of a schedule line as cron hands it to the shell: a backslash before % or another
// backslash is taken away, and a bare % ends the command.
QString asCronReadsIt(const QString &command)
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

// The job line itself, run by the shell as cron would run it: on the days of its trigger only, it
// starts the program, whatever its path holds, with "/Silent" and the path of its stamp, and leaves
// the stamp to the program.
TEST_F(CronSchedulerTest, TheJobLineStartsTheProgramOnItsDaysOnly)
{
    const QString record = path("started-with");
    const QByteArray stub = "#!/bin/sh\nprintf '%s|' \"$@\" \"$SORVIK_LAST_RUN_STAMP\" > '" +
                            QFile::encodeName(record) + "'\n";
    const auto runJob = [&](const QString &name) {
        QFile::remove(record);
        const auto lines = scheduleLines(fileOf(name), false);
        EXPECT_EQ(lines.size(), 1u);
        QProcess shell;
        shell.start(u"/bin/sh"_s, {u"-c"_s, asCronReadsIt(lines.at(0).at(6))});
        EXPECT_TRUE(shell.waitForFinished(30000));
        // cron mails whatever a job prints.
        EXPECT_EQ(shell.readAllStandardError(), QByteArray()) << name.toStdString();
        return QString::fromUtf8(readFile("started-with"));
    };
    const QDateTime now = QDateTime::currentDateTime();
    const struct {
        QString folder;
        int everyDays;
        QDateTime begin;
        bool runs;
    } cases[] = {
        {u"program"_s, 1, now, true},
        {u"program"_s, 1, now.addDays(1), false}, // not before its begin day
        {u"program"_s, 2, now, true},
        {u"program"_s, 2, now.addDays(-1), false},
        {u"opt/O'Neil"_s, 1, now, true},
        {u"opt/50% \"off\""_s, 1, now, true},
        {u"opt/back\\slash\\\\twice"_s, 1, now, true},
        {u"opt/a\\%b $HOME `x`"_s, 1, now, true},
    };
    for (const auto &c : cases) {
        const QString program = path(c.folder) + u"/Sorvik"_s;
        writeFile(c.folder + u"/Sorvik"_s, stub);
        QFile::setPermissions(program, QFile::ReadOwner | QFile::ExeOwner);
        const QString name = c.folder + QString::number(c.everyDays) + c.begin.toString();
        auto task = save(name, 0, c.everyDays, c.begin);
        task->setApplicationName(program);
        task->Save();
        EXPECT_EQ(runJob(name), c.runs ? u"/Silent|"_s + stampOf(name) + u"|"_s : QString())
            << program.toStdString();
        EXPECT_FALSE(QFile::exists(stampOf(name))) << "only the started program touches it";
    }
    // A program that is not there (uninstalled, its tasks kept) is not started, without a word,
    // and its stamp stays as it was.
    auto missing = save(u"Missing"_s, 0, 1, now);
    missing->setApplicationName(path("gone/Sorvik"));
    missing->Save();
    EXPECT_EQ(runJob(u"Missing"_s), QString());
    scheduler->ReloadTasks();
    EXPECT_FALSE(scheduler->GetTask(u"Missing"_s)->LastRunTime().isValid());
}

// Whatever a value holds, the file keeps its lines: a value cron cannot carry as it is stops the
// save before anything is written, and names round-trip through the file.
TEST_F(CronSchedulerTest, EveryValueInTheFileIsCheckedOrEscaped)
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
    };
    for (const auto &r : refused) {
        const QByteArray saved = qgetenv(r.variable);
        qputenv(r.variable, r.value);
        auto task = scheduler->CreateTask(u"Refused"_s);
        task->setApplicationName(path("program/Sorvik"));
        EXPECT_THROW(task->Save(), Failure) << r.variable;
        qputenv(r.variable, saved);
        EXPECT_TRUE(cronFiles().isEmpty()) << r.variable;
    }

    const QStringList names{u"Archive\\new"_s, u"50% \\% \\\\ it's"_s, u"#disabled# x"_s};
    for (const QString &name : names)
        save(name, 0);
    // A copy under another name cron accepts is not the task it holds.
    for (const QString &copy : {u"sorvik-copy"_s, cronFileName(u"Other"_s)})
        writeFile("cron.d/" + copy, fileOf(names.first()));
    scheduler->ReloadTasks();
    ASSERT_EQ(scheduler->count(), names.size());
    for (const QString &name : names) {
        EXPECT_EQ(scheduler->GetTask(name)->name(), name);
        EXPECT_EQ(scheduleLines(fileOf(name), false).size(), 1u) << name.toStdString();
    }
}

TEST_F(CronSchedulerTest, AnUnknownAccountOrAMissingFolderFails)
{
    auto task = scheduler->CreateTask(u"Someone"_s);
    task->setAccount(u"no-such-account-here"_s);
    EXPECT_THROW(task->Save(), Failure);
    EXPECT_THROW(task->setCreator(u"two\nlines"_s), Failure);
    qputenv("SORVIK_CRON_DIR", QFile::encodeName(path("missing")));
    EXPECT_THROW(scheduler->ReloadTasks(), Failure);
}

// What stands in the cron folder under a task's name without being a task file of ours (a link to
// one, a FIFO, a folder, a file others may write or another account's): never listed or read,
// never replaced by a new task, and nothing waits on it.
TEST_F(CronSchedulerTest, WhatIsNotOurTaskFileIsNeitherListedNorReplaced)
{
    const HangGuard guard;
    save(u"model"_s);
    const QByteArray ours = fileOf(u"model"_s);
    writeFile("elsewhere", ours);
    const QString at = path("cron.d/") + cronFileName(u"model"_s);
    const struct {
        const char *what;
        std::function<void()> make;
        bool needsRoot = false;
    } cases[] = {
        {"a link to a task file", [&] { QFile::link(path("elsewhere"), at); }},
        {"a dangling link", [&] { QFile::link(path("gone"), at); }},
        {"a FIFO", [&] { ::mkfifo(QFile::encodeName(at).constData(), 0644); }},
        {"a folder", [&] { QDir().mkpath(at); }},
        {"a second name of a task file",
         [&] {
             ::link(QFile::encodeName(path("elsewhere")).constData(),
                    QFile::encodeName(at).constData());
         }},
        {"a file others may write",
         [&] {
             writeFile("cron.d/" + cronFileName(u"model"_s), ours);
             ::chmod(QFile::encodeName(at).constData(), 0666);
         }},
        {"a file of another account",
         [&] {
             writeFile("cron.d/" + cronFileName(u"model"_s), ours);
             ::chown(QFile::encodeName(at).constData(), 65534, 65534);
         },
         true},
    };
    for (const auto &c : cases) {
        if (c.needsRoot && ::geteuid() != 0)
            continue;
        QFile::remove(at);
        QDir(at).removeRecursively();
        c.make();
        struct stat before {};
        ::lstat(QFile::encodeName(at).constData(), &before);
        scheduler->ReloadTasks();
        EXPECT_EQ(scheduler->count(), 0) << c.what;
        EXPECT_THROW(scheduler->CreateTask(u"model"_s), Failure) << c.what;
        struct stat after {};
        ::lstat(QFile::encodeName(at).constData(), &after);
        EXPECT_EQ(after.st_ino, before.st_ino) << c.what;
        EXPECT_EQ(readFile("elsewhere"), ours) << c.what;
    }
    // A task listed as ours whose file is swapped meanwhile is not saved over what came.
    QFile::remove(at);
    QDir(at).removeRecursively();
    save(u"model"_s);
    scheduler->ReloadTasks();
    ASSERT_EQ(scheduler->count(), 1);
    QFile::remove(at);
    ::mkfifo(QFile::encodeName(at).constData(), 0644);
    EXPECT_THROW(scheduler->GetTask(1)->Save(), Failure);
    EXPECT_TRUE(QFileInfo(at).isFile() == false && QFileInfo::exists(at));
    EXPECT_EQ(QDir(path("cron.d"))
                  .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
              QStringList{cronFileName(u"model"_s)})
        << "no temporary left";
}

// The purge script, run on a root of its own: only the program's own task files go, never a file
// that almost matches (the marker on another line or almost the marker, a name of another form),
// a link, a FIFO or a folder; the program's folders go, a link among them as a link.
TEST_F(CronSchedulerTest, PurgingTakesOnlyWhatIsOurs)
{
    const QByteArray marker =
        "# Sorvik scheduled task. Kept by Sorvik's scheduling window; edit it there.";
    const QString root = path("root");
    const auto put = [&](const QString &name, const QByteArray &content) {
        writeFile(u"root/etc/cron.d/"_s + name, content);
    };
    put(u"sorvik-ours"_s, marker + "\n# sorvik: name: ours\n");
    put(u"sorvik-Ours_2"_s, marker + "\n");
    put(u"sorvik-second-line"_s, "# someone else's\n" + marker + "\n");
    put(u"sorvik-almost"_s, QByteArray(marker).replace('.', 'x') + "\n");
    put(u"sorvik-trailing"_s, marker + " \n");
    put(u"sorvik-crlf"_s, marker + "\r\n");
    put(u"sorvik-ours.dpkg-old"_s, marker + "\n");
    put(u"Sorvik-upper"_s, marker + "\n");
    put(u"xsorvik-prefixed"_s, marker + "\n");
    writeFile("root/elsewhere/task", marker + "\n");
    QFile::link(path("root/elsewhere/task"), path("root/etc/cron.d/sorvik-link"));
    ::mkfifo(QFile::encodeName(path("root/etc/cron.d/sorvik-fifo")).constData(), 0644);
    QDir().mkpath(path("root/etc/cron.d/sorvik-folder"));
    writeFile("root/opt/sorvik/Sorvik", "program");
    writeFile("root/opt/sorvik/.Sorvik.lock", QByteArray());
    writeFile("root/opt/sorvik/ZIPS/LOG_Archive.ZIP", "archive");
    writeFile("root/opt/sorvik/TempDiags/copy", "copy");
    writeFile("root/kept-logs/Sorvik_Log.TXT", "kept");
    QFile::link(path("root/kept-logs"), path("root/opt/sorvik/logs"));

    QProcess purge;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"DPKG_ROOT"_s, root);
    purge.setProcessEnvironment(env);
    purge.start(u"/bin/sh"_s,
                {QStringLiteral(SORVIK_SOURCE_DIR "/packaging/sorvik.postrm"), u"purge"_s});
    ASSERT_TRUE(purge.waitForFinished(30000)) << "the script waited";
    EXPECT_EQ(purge.exitCode(), 0) << purge.readAllStandardError().toStdString();

    QStringList left = QDir(path("root/etc/cron.d"))
                           .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    left.sort();
    EXPECT_EQ(left, (QStringList{u"Sorvik-upper"_s, u"sorvik-almost"_s, u"sorvik-crlf"_s,
                                 u"sorvik-fifo"_s, u"sorvik-folder"_s, u"sorvik-link"_s,
                                 u"sorvik-ours.dpkg-old"_s, u"sorvik-second-line"_s,
                                 u"sorvik-trailing"_s, u"xsorvik-prefixed"_s}));
    EXPECT_EQ(QDir(path("root/opt/sorvik"))
                  .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{u"Sorvik"_s});
    EXPECT_EQ(readFile("root/kept-logs/Sorvik_Log.TXT"), QByteArray("kept"));
    EXPECT_EQ(readFile("root/elsewhere/task"), marker + "\n");
}

} // namespace
