#include "schedule/TaskScheduler.h"
#include "schedule/posix/CronFile.h"

#include "support/ScriptedPropertySheet.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include <pwd.h>
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

TEST_F(CronSchedulerTest, ADisabledTaskHasNoLiveScheduleLine)
{
    save(u"Nightly"_s);
    const QByteArray file = fileOf(u"Nightly"_s);
    EXPECT_TRUE(scheduleLines(file, false).empty());
    EXPECT_EQ(scheduleLines(file, true).size(), 1u);
    scheduler->ReloadTasks();
    EXPECT_FALSE(scheduler->GetTask(1)->NextRunTime().isValid());
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

TEST_F(CronSchedulerTest, NextRunFollowsTheTrigger)
{
    auto task = save(u"Daily"_s, 0);
    const QDate day(2026, 12, 6);
    EXPECT_EQ(task->nextRunAfter(QDateTime(day, QTime(10, 0))), QDateTime(day, QTime(14, 5)));
    EXPECT_EQ(task->nextRunAfter(QDateTime(day, QTime(14, 5))),
              QDateTime(day.addDays(1), QTime(14, 5)));
    EXPECT_EQ(task->nextRunAfter(QDateTime(QDate(2026, 11, 1), QTime(0, 0))),
              QDateTime(day, QTime(14, 5)));
    EXPECT_EQ(task->Triggers()[0].Text(), u"At 14:05 every day, starting 06/12/2026"_s);

    auto every3 = save(u"Every3"_s, 0, 3);
    EXPECT_EQ(every3->nextRunAfter(QDateTime(day.addDays(1), QTime(9, 0))),
              QDateTime(day.addDays(3), QTime(14, 5)));
    EXPECT_EQ(every3->Triggers()[0].Text(), u"At 14:05 every 3 days, starting 06/12/2026"_s);
    every3->setFlags(TaskFlags::Disabled);
    EXPECT_FALSE(every3->nextRunAfter(QDateTime(day, QTime(9, 0))).isValid());
}

TEST_F(CronSchedulerTest, LastRunIsTheTimeTheJobStarted)
{
    save(u"Stamped"_s, 0);
    scheduler->ReloadTasks();
    EXPECT_FALSE(scheduler->GetTask(1)->LastRunTime().isValid()) << "never ran";

    const QString stamp =
        path("home/.local/state/sorvik/") + cronFileName(u"Stamped"_s) + u".lastrun"_s;
    writeFile("home/.local/state/sorvik/" + cronFileName(u"Stamped"_s) + u".lastrun"_s,
              QByteArray());
    const QDateTime ran(QDate(2026, 12, 5), QTime(14, 5, 0));
    const utimbuf times{time_t(ran.toSecsSinceEpoch()), time_t(ran.toSecsSinceEpoch())};
    ASSERT_EQ(::utime(QFile::encodeName(stamp).constData(), &times), 0);
    scheduler->ReloadTasks();
    EXPECT_EQ(scheduler->GetTask(1)->LastRunTime(), ran);
}

// The job line itself, run by the shell as cron would run it: it stamps the start and starts the
// program with "/Silent" on the days of its trigger only.
TEST_F(CronSchedulerTest, TheJobLineStartsTheProgramOnItsDaysOnly)
{
    const QString record = path("started-with");
    writeFile("program/Sorvik", "#!/bin/sh\necho \"$@\" > '" + QFile::encodeName(record) + "'\n");
    QFile::setPermissions(path("program/Sorvik"), QFile::ReadOwner | QFile::ExeOwner);
    const auto runJob = [&](const QString &name) {
        QFile::remove(record);
        const auto lines = scheduleLines(fileOf(name), false);
        EXPECT_EQ(lines.size(), 1u);
        QString command = lines.at(0).at(6);
        command.replace(u"\\%"_s, u"%"_s);
        QProcess shell;
        shell.start(u"/bin/sh"_s, {u"-c"_s, command});
        EXPECT_TRUE(shell.waitForFinished(30000));
        return readFile("started-with");
    };
    const QDateTime now = QDateTime::currentDateTime();
    save(u"Today"_s, 0, 1, now);
    EXPECT_EQ(runJob(u"Today"_s), QByteArray("/Silent\n"));
    scheduler->ReloadTasks();
    EXPECT_TRUE(scheduler->GetTask(u"Today"_s)->LastRunTime().isValid());

    save(u"Tomorrow"_s, 0, 1, now.addDays(1));
    EXPECT_EQ(runJob(u"Tomorrow"_s), QByteArray()) << "not before its begin day";
    save(u"EveryOtherFromToday"_s, 0, 2, now);
    EXPECT_EQ(runJob(u"EveryOtherFromToday"_s), QByteArray("/Silent\n"));
    save(u"EveryOtherFromYesterday"_s, 0, 2, now.addDays(-1));
    EXPECT_EQ(runJob(u"EveryOtherFromYesterday"_s), QByteArray());
}

TEST_F(CronSchedulerTest, ThePropertySheetSavesOnlyWhenConfirmed)
{
    auto task = save(u"Nightly"_s);
    sheet.change = [](ScheduledTask &t) { t.setFlags(0); };
    task->ShowProperties();
    EXPECT_TRUE(scheduleLines(fileOf(u"Nightly"_s), false).empty()) << "Cancel changes nothing";
    sheet.confirm = true;
    task->ShowProperties();
    EXPECT_EQ(scheduleLines(fileOf(u"Nightly"_s), false).size(), 1u);
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

} // namespace
