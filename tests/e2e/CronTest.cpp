// A scheduled task run by the real cron daemon, in a mount namespace of its own so that it sees
// only the test's task folder (and none of the machine's own jobs).
#include "schedule/TaskScheduler.h"

#include "support/ScriptedPropertySheet.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <unistd.h>

namespace {

class CronTest : public TempEnvironment {
protected:
    void TearDown() override
    {
        if (cron.state() != QProcess::NotRunning) {
            cron.kill();
            cron.waitForFinished(10000);
        }
        TempEnvironment::TearDown();
    }

    // cron, seeing the test's folder as /etc/cron.d and nothing else of the machine's.
    bool startCron()
    {
        if (::geteuid() != 0 || !QFile::exists(QStringLiteral("/usr/sbin/cron")) ||
            !QFile::exists(QStringLiteral("/usr/bin/unshare")))
            return false;
        writeFile(QStringLiteral("cron-root/crontab"), QByteArray());
        QDir().mkpath(path(QStringLiteral("cron-root/spool")));
        QDir().mkpath(path(QStringLiteral("cron-root/run")));
        const QString script =
            QStringLiteral("mount --bind '%1' /etc/cron.d && mount --bind '%2' /etc/crontab && "
                           "mount --bind '%3' /run && "
                           "{ [ ! -d /var/spool/cron/crontabs ] || mount --bind '%4' "
                           "/var/spool/cron/crontabs; } && "
                           "exec /usr/sbin/cron -f -L 15")
                .arg(path(QStringLiteral("cron.d")), path(QStringLiteral("cron-root/crontab")),
                     path(QStringLiteral("cron-root/run")),
                     path(QStringLiteral("cron-root/spool")));
        cron.start(QStringLiteral("/usr/bin/unshare"),
                   {QStringLiteral("-m"), QStringLiteral("--propagation"),
                    QStringLiteral("private"), QStringLiteral("/bin/sh"), QStringLiteral("-c"),
                    script});
        if (!cron.waitForStarted(10000))
            return false;
        // A daemon that could not set itself up has ended by now.
        return !cron.waitForFinished(3000);
    }

    QProcess cron;
};

TEST_F(CronTest, AnEnabledTaskDueNowRunsTheProgram)
{
    QDir().mkpath(path(QStringLiteral("program")));
    ASSERT_TRUE(
        QFile::copy(builtFile(QStringLiteral("Sorvik")), path(QStringLiteral("program/Sorvik"))));
    simulate({QStringLiteral("--data"), QStringLiteral("1"), QStringLiteral("--diag"),
              QStringLiteral("1")});
    QDir().mkpath(path(QStringLiteral("archive")));
    storeArchiveFolder(path(QStringLiteral("archive/")));

    // Due at the start of the next minute that leaves time to get cron going.
    QDateTime due = QDateTime::currentDateTime().addSecs(60);
    if (due.time().second() > 45)
        due = due.addSecs(60);
    due.setTime(QTime(due.time().hour(), due.time().minute()));

    ScriptedPropertySheet sheet;
    auto scheduler = makeTaskScheduler(sheet);
    auto task = scheduler->CreateTask(QStringLiteral("Orvel File Archive test"));
    task->setApplicationName(path(QStringLiteral("program/Sorvik")));
    task->setCommandLine(QStringLiteral("/Silent "));
    TaskTrigger &trigger = task->addTrigger();
    trigger.BeginDay = trigger.StartTime = due;
    task->setFlags(0);
    task->Save();

    if (!startCron())
        GTEST_SKIP() << "no cron daemon can be started here: "
                     << cron.readAllStandardError().toStdString();

    QElapsedTimer waited;
    waited.start();
    const QString archive = path(QStringLiteral("archive"));
    while (QDir(archive).entryList(QDir::Files).isEmpty() && waited.elapsed() < 180000)
        QThread::msleep(500);
    ASSERT_EQ(QDir(archive).entryList(QDir::Files).size(), 1)
        << "cron did not start the program: " << cron.readAllStandardError().toStdString();
    EXPECT_EQ(QDir(path(QStringLiteral("program/logs"))).entryList(QDir::Files).size(), 1);

    scheduler->ReloadTasks();
    const QDateTime ran = scheduler->GetTask(1)->LastRunTime();
    ASSERT_TRUE(ran.isValid());
    EXPECT_GE(ran, due);
    EXPECT_LT(ran, due.addSecs(60));
}

} // namespace
