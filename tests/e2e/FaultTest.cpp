// Faults met by a whole unattended run: the run goes on or stops as it should, its run log says
// what happened, its exit status is honest, and nothing it delivers is damaged.
#include "support/ArchiveReader.h"
#include "support/Noise.h"
#include "support/ProcessFixture.h"

#include <QElapsedTimer>
#include <QThread>

#include <unistd.h>

namespace {

class FaultTest : public ProcessTest {
protected:
    void prepare(const QStringList &simulation)
    {
        simulate(simulation);
        QDir().mkpath(path("archive"));
        storeArchiveFolder(path("archive/"));
    }

    QStringList delivered() const
    {
        return QDir(path("archive")).entryList(QDir::Files | QDir::Hidden);
    }

    // Starts the run and does `act` once the run log shows `line`.
    Outcome runUntil(const QString &line, const std::function<void(QProcess &)> &act)
    {
        QProcess process;
        process.setProcessEnvironment(environment());
        ownedByTest(process);
        process.start(program(), {u"/Silent"_s});
        EXPECT_TRUE(process.waitForStarted(30000));
        QElapsedTimer waited;
        waited.start();
        while (!runLogText().contains(line) && process.state() == QProcess::Running &&
               waited.elapsed() < 120000)
            QThread::msleep(5);
        EXPECT_TRUE(runLogText().contains(line)) << "never reached: " << line.toStdString() << "\n"
                                                 << runLogText().right(2000).toStdString()
                                                 << process.readAllStandardError().toStdString();
        act(process);
        return outcomeOf(process, 120000);
    }
};

TEST_F(FaultTest, AFullArchiveFolderGetsNoPartialArchive)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting a small file system needs root";
    prepare({u"--data"_s, u"4"_s, u"--data-size"_s, u"2000000"_s});
    // A 64 KiB file system as the archive folder, in a mount namespace of the run's own.
    const Outcome outcome =
        runThrough(u"mount -t tmpfs -o size=64k tmpfs '%1' || exit 99;"_s.arg(path("archive")),
                   {u"/Silent"_s}, true);
    if (outcome.status == 99)
        GTEST_SKIP() << "no small file system can be mounted here";
    EXPECT_EQ(outcome.status, 1);
    const QString log = runLogText();
    EXPECT_TRUE(log.contains(u"(error) in CopyArchiveToTargetFolder on frmMain:"_s));
    EXPECT_TRUE(log.contains(u"No space left on device"_s));
    EXPECT_FALSE(log.contains(u"    File copied"_s));
}

TEST_F(FaultTest, AFileSizeLimitCostsTheEntriesItStops)
{
    prepare({u"--data"_s, u"3"_s, u"--diag"_s, u"0"_s, u"--other"_s, u"0"_s, u"--data-size"_s,
             u"100000"_s});
    // One log far larger than the limit once compressed: random bytes.
    writeFile("orvel/logs/data_noise.log", noise(4 << 20, 1));

    const Outcome outcome = runThrough(u"ulimit -f 2048;"_s, {u"/Silent"_s});
    EXPECT_EQ(outcome.status, 1) << outcome.errors.toStdString();
    EXPECT_TRUE(runLogText().contains(u"(error) Failure appending file to zip.  File="_s +
                                      path("orvel/logs/data_noise.log")));
    ASSERT_EQ(delivered().size(), 1);
    const auto content = readArchive(path("archive/") + delivered().first());
    ASSERT_TRUE(content);
    EXPECT_EQ(content->size(), 3u);
    EXPECT_FALSE(content->count(u"data_noise.log"_s));
}

TEST_F(FaultTest, AnArchiveThatCannotBeWrittenIsNeverDelivered)
{
    prepare({u"--data"_s, u"0"_s, u"--diag"_s, u"0"_s, u"--other"_s, u"0"_s});
    // Each entry fits under the limit, the archive of all three does not.
    for (const unsigned i : {1u, 2u, 3u})
        writeFile(u"orvel/logs/data_%1.log"_s.arg(i), noise(40000, i));
    const Outcome outcome = runThrough(u"ulimit -f 100;"_s, {u"/Silent"_s});
    EXPECT_EQ(outcome.status, 1) << outcome.errors.toStdString();
    const QString log = runLogText();
    EXPECT_TRUE(log.contains(u"(error) the ZIP archive could not be written:"_s))
        << log.toStdString();
    EXPECT_FALSE(log.contains(u"ZIP archive creation completed."_s));
    EXPECT_FALSE(log.contains(u"    File copied"_s));
    EXPECT_TRUE(delivered().isEmpty()) << delivered().join(' ').toStdString();
}

TEST_F(FaultTest, ARunThatCannotKeepItsLogFailsAndTellsStderr)
{
    prepare({u"--data"_s, u"2"_s, u"--diag"_s, u"1"_s});
    writeFile("program/logs", "a file where the run logs' folder belongs");
    const Outcome outcome = run({u"/Silent"_s});
    EXPECT_EQ(outcome.status, 1);
    const QString errors = QString::fromLocal8Bit(outcome.errors);
    EXPECT_TRUE(errors.contains(u"cannot be written"_s)) << errors.toStdString();
    EXPECT_TRUE(errors.contains(u"    File copied"_s)) << "the run's lines are not lost";
    EXPECT_EQ(delivered().size(), 1) << "the run itself goes on";
}

// Stopped while the files go into the archive, or while diagnostic files are still formatted on
// other threads: the run ends, leaving nothing behind, not even a formatter's helper.
TEST_F(FaultTest, AStopSignalCancelsTheRunAndCleansUp)
{
    const std::pair<QStringList, QString> cases[] = {
        {{u"--data"_s, u"3000"_s, u"--data-size"_s, u"2000"_s, u"--diag"_s, u"3"_s},
         u"Adding file into zip"_s},
        {{u"--data"_s, u"0"_s, u"--diag"_s, u"8"_s, u"--diag-size"_s, u"4000000"_s},
         u"Formatting diagnostic log file"_s},
    };
    for (const auto &[simulation, line] : cases) {
        SCOPED_TRACE(line.toStdString());
        QDir(path("orvel")).removeRecursively();
        QDir(path("program/logs")).removeRecursively();
        prepare(simulation);
        const Outcome outcome = runUntil(line, [](QProcess &p) { p.terminate(); });
        EXPECT_EQ(outcome.status, 1);
        EXPECT_TRUE(runLogText().contains(u"(error) the archive run was cancelled before it "
                                          "completed - no archive was delivered."_s));
        EXPECT_TRUE(delivered().isEmpty());
        EXPECT_TRUE(QDir(path("program/ZIPS")).entryList(QDir::Files | QDir::Hidden).isEmpty());
        EXPECT_TRUE(
            QDir(path("program/TempDiags")).entryList(QDir::Files | QDir::Hidden).isEmpty());
        // Only this test's runs start the helper from its program folder.
        const QString helperCopy = QFileInfo(path(u"program/"_s + helper)).canonicalFilePath();
        for (const QString &pid : QDir(u"/proc"_s).entryList({u"[0-9]*"_s}, QDir::Dirs))
            EXPECT_NE(QFile::symLinkTarget(u"/proc/"_s + pid + u"/exe"_s), helperCopy);
    }
}

TEST_F(FaultTest, KilledWhileWritingTheArchiveLeavesNoPartialFile)
{
    prepare({u"--data"_s, u"12"_s, u"--data-size"_s, u"8000000"_s, u"--diag"_s, u"0"_s});
    runUntil(u"Compressing files into zip"_s, [](QProcess &p) { p.kill(); });
    EXPECT_TRUE(delivered().isEmpty());
    // At the archive's own name stands the archive without entries that the run began with, or
    // nothing; never a piece of the new one.
    for (const QString &name : QDir(path("program/ZIPS")).entryList({u"*.ZIP"_s}, QDir::Files)) {
        const auto content = readArchive(path("program/ZIPS/") + name);
        ASSERT_TRUE(content) << name.toStdString();
        EXPECT_TRUE(content->empty());
    }
    // The next run starts clean and completes.
    QDir(path("program/logs")).removeRecursively();
    EXPECT_EQ(run({u"/Silent"_s}).status, 0);
    EXPECT_EQ(QDir(path("program/ZIPS")).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

TEST_F(FaultTest, AnArchiveFolderRemovedDuringTheRunIsReported)
{
    prepare({u"--data"_s, u"12"_s, u"--data-size"_s, u"4000000"_s, u"--diag"_s, u"2"_s});
    const Outcome outcome = runUntil(u"Compressing files into zip"_s, [&](QProcess &) {
        QDir(path("archive")).removeRecursively();
    });
    EXPECT_EQ(outcome.status, 1);
    EXPECT_TRUE(runLogText().contains(u"(error) in CopyArchiveToTargetFolder on frmMain:"_s));
    EXPECT_FALSE(QFileInfo::exists(path("archive")));
}

// Even where a process may hold few files open: files wait for the workers without holding one.
TEST_F(FaultTest, TwentyThousandFilesMakeOneArchive)
{
    prepare({u"--data"_s, u"10000"_s, u"--data-size"_s, u"1024"_s, u"--diag"_s, u"10000"_s,
             u"--diag-size"_s, u"1024"_s, u"--other"_s, u"0"_s});
    const Outcome outcome = runThrough(u"ulimit -n 256;"_s, {u"/Silent"_s});
    EXPECT_EQ(outcome.status, 0) << outcome.errors.toStdString();
    ASSERT_EQ(delivered().size(), 1);
    const auto content = readArchive(path("archive/") + delivered().first());
    ASSERT_TRUE(content);
    EXPECT_EQ(content->size(), 20000u);
}

} // namespace
