// A scheduled task run by the real cron daemon, in a mount namespace of its own so that it sees
// only the test's task folder (and none of the machine's own jobs).
#include "schedule/TaskScheduler.h"

#include "support/ScriptedPropertySheet.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

#include <unistd.h>

namespace {

using CronTest = TempEnvironment;

// The program lies in a folder whose name holds what cron and the shell read specially: the job
// must start it all the same, and the program, not the job line, stamps the start.
TEST_F(CronTest, AnEnabledTaskDueNowRunsTheProgram)
{
    const QString folder = path(u"program/O'Neil 50% \\x \\\\%y"_s);
    QDir().mkpath(folder);
    ASSERT_TRUE(QFile::copy(builtFile(u"Sorvik"_s), folder + u"/Sorvik"_s));
    simulate({u"--data"_s, u"1"_s, u"--diag"_s, u"1"_s});
    QDir().mkpath(path("archive"));
    storeArchiveFolder(path("archive/"));

    // Due at the start of the next minute that leaves time to get cron going.
    QDateTime due = QDateTime::currentDateTime().addSecs(60);
    if (due.time().second() > 45)
        due = due.addSecs(60);
    due.setTime(QTime(due.time().hour(), due.time().minute()));

    saveTask(u"Orvel File Archive test"_s, folder + u"/Sorvik"_s, u"/Silent "_s, due);

    if (::geteuid() != 0 || !QFile::exists(u"/usr/sbin/cron"_s) ||
        !QFile::exists(u"/usr/bin/unshare"_s))
        GTEST_SKIP() << "cron here needs root, /usr/sbin/cron and unshare";
    // cron, seeing the test's folder as /etc/cron.d and nothing else of the machine's, in a
    // process namespace of its own whose first process dies with the test program: the kernel
    // then ends cron and every job it started, whatever ends the test.
    writeFile("cron-root/crontab", QByteArray());
    QDir().mkpath(path("cron-root/spool"));
    QDir().mkpath(path("cron-root/run"));
    const QString script =
        QStringLiteral("mount --bind '%1' /etc/cron.d && mount --bind '%2' /etc/crontab && "
                       "mount --bind '%3' /run && "
                       "{ [ ! -d /var/spool/cron/crontabs ] || mount --bind '%4' "
                       "/var/spool/cron/crontabs; } && "
                       "exec /usr/sbin/cron -f -L 15")
            .arg(path("cron.d"), path("cron-root/crontab"), path("cron-root/run"),
                 path("cron-root/spool"));
    QProcess cron; // ended with the test
    ownedByTest(cron);
    cron.start(u"/usr/bin/unshare"_s,
               {u"--fork"_s, u"--pid"_s, u"--kill-child"_s, u"-m"_s, u"--propagation"_s,
                u"private"_s, u"/bin/sh"_s, u"-c"_s, script});
    // Root with cron: a daemon that does not start (or has ended by now, unable to set itself
    // up) is a fault, not this machine's lack.
    ASSERT_TRUE(cron.waitForStarted(10000) && !cron.waitForFinished(3000))
        << cron.readAllStandardError().toStdString();

    // The delivered archive under its final name; the program's own write probe and the copy's
    // temporary name come and go before it.
    const auto delivered = [&] {
        static const QRegularExpression archiveName(u"^LOG_Archive_.*\\.ZIP$"_s);
        return QDir(path("archive")).entryList(QDir::Files | QDir::Hidden).filter(archiveName);
    };
    QElapsedTimer waited;
    waited.start();
    while (delivered().isEmpty() && waited.elapsed() < 180000)
        QThread::msleep(500);
    ASSERT_EQ(delivered().size(), 1)
        << "cron did not start the program: " << cron.readAllStandardError().toStdString();
    EXPECT_EQ(QDir(folder + u"/logs"_s).entryList(QDir::Files).size(), 1);

    ScriptedPropertySheet sheet;
    const auto scheduler = makeTaskScheduler(sheet);
    scheduler->ReloadTasks();
    const QDateTime ran = scheduler->GetTask(1)->LastRunTime();
    ASSERT_TRUE(ran.isValid());
    EXPECT_GE(ran, due);
    EXPECT_LT(ran, due.addSecs(60));
}

} // namespace
