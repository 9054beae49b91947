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
        task->setApplicationName(path(QStringLiteral("program/Sorvik")));
        task->setCommandLine(QStringLiteral("/Silent "));
        task->setCreator(QStringLiteral("Orvel Sorvik [SRV01]"));
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
        return QDir(path(QStringLiteral("cron.d"))).entryList(QDir::Files | QDir::Hidden);
    }
    QByteArray fileOf(const QString &name) const
    {
        return readFile(QStringLiteral("cron.d/") + cronFileName(name));
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
                QRegularExpression(QStringLiteral("^[A-Za-z_]+=")).match(line).hasMatch())
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
    save(QStringLiteral("Orvel File Archive SRV01 / nightly?"), 0);
    const QStringList files = cronFiles();
    ASSERT_EQ(files.size(), 1);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^[A-Za-z0-9_-]+$")).match(files[0]).hasMatch())
        << files[0].toStdString();

    const QByteArray file = fileOf(QStringLiteral("Orvel File Archive SRV01 / nightly?"));
    EXPECT_TRUE(file.endsWith('\n'));
    EXPECT_TRUE(file.contains("\nSORVIK_REGISTRY=/srv/orvel/registry.reg\n"));
    EXPECT_TRUE(file.contains(
        "\nXDG_CONFIG_HOME=" + QFile::encodeName(path(QStringLiteral("config"))) + "\n"));
    EXPECT_TRUE(file.contains("# sorvik-command-line: /Silent \n")) << "the trailing blank is kept";
    const auto lines = scheduleLines(file, false);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].mid(0, 5),
              (QStringList{QStringLiteral("5"), QStringLiteral("14"), QStringLiteral("*"),
                           QStringLiteral("*"), QStringLiteral("*")}));
    EXPECT_EQ(lines[0][5], QString::fromLocal8Bit(::getpwuid(::geteuid())->pw_name));
    EXPECT_TRUE(lines[0][6].contains(QStringLiteral("'/Silent'")));
    EXPECT_FALSE(lines[0][6].contains(QRegularExpression(QStringLiteral("[^\\\\]%"))))
        << "cron would cut at a bare %";
}

TEST_F(CronSchedulerTest, ADisabledTaskHasNoLiveScheduleLine)
{
    save(QStringLiteral("Nightly"));
    const QByteArray file = fileOf(QStringLiteral("Nightly"));
    EXPECT_TRUE(scheduleLines(file, false).empty());
    EXPECT_EQ(scheduleLines(file, true).size(), 1u);
    scheduler->ReloadTasks();
    EXPECT_FALSE(scheduler->GetTask(1)->NextRunTime().isValid());
}

TEST_F(CronSchedulerTest, TasksAreListedByPositionAndRemovedByName)
{
    writeFile(QStringLiteral("cron.d/backup"), "17 3 * * * root /usr/local/bin/backup\n");
    writeFile(QStringLiteral("cron.d/") + cronFileName(QStringLiteral("Damaged")),
              "# Sorvik scheduled task. Kept by Sorvik's scheduling window; edit it there.\n"
              "# sorvik-name: Damaged\n# sorvik-flags: x\n");
    save(QStringLiteral("b_task"));
    save(QStringLiteral("A_task"));
    scheduler->ReloadTasks();
    ASSERT_EQ(scheduler->count(), 2);
    EXPECT_EQ(scheduler->GetTask(1)->name(), QStringLiteral("A_task"));
    EXPECT_EQ(scheduler->GetTask(2)->name(), QStringLiteral("b_task"));
    EXPECT_EQ(scheduler->GetTask(QStringLiteral("B_TASK"))->name(), QStringLiteral("b_task"));
    EXPECT_THROW(scheduler->GetTask(3), Failure);
    EXPECT_THROW(scheduler->CreateTask(QStringLiteral("A_task")), Failure);

    scheduler->RemoveTask(QStringLiteral("A_task"));
    scheduler->ReloadTasks();
    ASSERT_EQ(scheduler->count(), 1);
    EXPECT_EQ(cronFiles().size(), 3) << "the foreign and damaged files stay";
    EXPECT_EQ(readFile(QStringLiteral("cron.d/backup")),
              QByteArray("17 3 * * * root /usr/local/bin/backup\n"));
    EXPECT_THROW(scheduler->RemoveTask(QStringLiteral("backup")), Failure);
}

TEST_F(CronSchedulerTest, NextRunFollowsTheTrigger)
{
    auto task = save(QStringLiteral("Daily"), 0);
    const QDate day(2026, 12, 6);
    EXPECT_EQ(task->nextRunAfter(QDateTime(day, QTime(10, 0))), QDateTime(day, QTime(14, 5)));
    EXPECT_EQ(task->nextRunAfter(QDateTime(day, QTime(14, 5))),
              QDateTime(day.addDays(1), QTime(14, 5)));
    EXPECT_EQ(task->nextRunAfter(QDateTime(QDate(2026, 11, 1), QTime(0, 0))),
              QDateTime(day, QTime(14, 5)));
    EXPECT_EQ(task->Triggers()[0].Text(),
              QStringLiteral("At 14:05 every day, starting 06/12/2026"));

    auto every3 = save(QStringLiteral("Every3"), 0, 3);
    EXPECT_EQ(every3->nextRunAfter(QDateTime(day.addDays(1), QTime(9, 0))),
              QDateTime(day.addDays(3), QTime(14, 5)));
    EXPECT_EQ(every3->Triggers()[0].Text(),
              QStringLiteral("At 14:05 every 3 days, starting 06/12/2026"));
    every3->setFlags(TaskFlags::Disabled);
    EXPECT_FALSE(every3->nextRunAfter(QDateTime(day, QTime(9, 0))).isValid());
}

TEST_F(CronSchedulerTest, LastRunIsTheTimeTheJobStarted)
{
    save(QStringLiteral("Stamped"), 0);
    scheduler->ReloadTasks();
    EXPECT_FALSE(scheduler->GetTask(1)->LastRunTime().isValid()) << "never ran";

    const QString stamp = path(QStringLiteral("home/.local/state/sorvik/")) +
                          cronFileName(QStringLiteral("Stamped")) + QStringLiteral(".lastrun");
    writeFile(QStringLiteral("home/.local/state/sorvik/") +
                  cronFileName(QStringLiteral("Stamped")) + QStringLiteral(".lastrun"),
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
    const QString record = path(QStringLiteral("started-with"));
    writeFile(QStringLiteral("program/Sorvik"),
              "#!/bin/sh\necho \"$@\" > '" + QFile::encodeName(record) + "'\n");
    QFile::setPermissions(path(QStringLiteral("program/Sorvik")),
                          QFile::ReadOwner | QFile::ExeOwner);
    const auto runJob = [&](const QString &name) {
        QFile::remove(record);
        const auto lines = scheduleLines(fileOf(name), false);
        EXPECT_EQ(lines.size(), 1u);
        QString command = lines.at(0).at(6);
        command.replace(QStringLiteral("\\%"), QStringLiteral("%"));
        QProcess shell;
        shell.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), command});
        EXPECT_TRUE(shell.waitForFinished(30000));
        return readFile(QStringLiteral("started-with"));
    };
    const QDateTime now = QDateTime::currentDateTime();
    save(QStringLiteral("Today"), 0, 1, now);
    EXPECT_EQ(runJob(QStringLiteral("Today")), QByteArray("/Silent\n"));
    scheduler->ReloadTasks();
    EXPECT_TRUE(scheduler->GetTask(QStringLiteral("Today"))->LastRunTime().isValid());

    save(QStringLiteral("Tomorrow"), 0, 1, now.addDays(1));
    EXPECT_EQ(runJob(QStringLiteral("Tomorrow")), QByteArray()) << "not before its begin day";
    save(QStringLiteral("EveryOtherFromToday"), 0, 2, now);
    EXPECT_EQ(runJob(QStringLiteral("EveryOtherFromToday")), QByteArray("/Silent\n"));
    save(QStringLiteral("EveryOtherFromYesterday"), 0, 2, now.addDays(-1));
    EXPECT_EQ(runJob(QStringLiteral("EveryOtherFromYesterday")), QByteArray());
}

TEST_F(CronSchedulerTest, ThePropertySheetSavesOnlyWhenConfirmed)
{
    auto task = save(QStringLiteral("Nightly"));
    sheet.change = [](ScheduledTask &t) { t.setFlags(0); };
    task->ShowProperties();
    EXPECT_TRUE(scheduleLines(fileOf(QStringLiteral("Nightly")), false).empty())
        << "Cancel changes nothing";
    sheet.confirm = true;
    task->ShowProperties();
    EXPECT_EQ(scheduleLines(fileOf(QStringLiteral("Nightly")), false).size(), 1u);
}

TEST_F(CronSchedulerTest, AnUnknownAccountOrAMissingFolderFails)
{
    auto task = scheduler->CreateTask(QStringLiteral("Someone"));
    task->setAccount(QStringLiteral("no-such-account-here"));
    EXPECT_THROW(task->Save(), Failure);
    EXPECT_THROW(task->setCreator(QStringLiteral("two\nlines")), Failure);
    qputenv("SORVIK_CRON_DIR", QFile::encodeName(path(QStringLiteral("missing"))));
    EXPECT_THROW(scheduler->ReloadTasks(), Failure);
}

} // namespace
