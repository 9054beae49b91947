// Faults met by a whole unattended run: the run goes on or stops as it should, its run log says
// what happened, its exit status is honest, and nothing it delivers is damaged.
#include "support/ArchiveReader.h"
#include "support/ProcessFixture.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QThread>

#include <unistd.h>

namespace {

class FaultTest : public ProcessTest {
protected:
    void prepare(const QStringList &simulation)
    {
        simulate(simulation);
        QDir().mkpath(path(QStringLiteral("archive")));
        storeArchiveFolder(path(QStringLiteral("archive/")));
    }

    QStringList delivered() const
    {
        return QDir(path(QStringLiteral("archive"))).entryList(QDir::Files | QDir::Hidden);
    }

    // Starts the run and does `act` once the run log shows `line`.
    Outcome runUntil(const QString &line, const std::function<void(QProcess &)> &act)
    {
        QProcess process;
        process.setProcessEnvironment(environment());
        process.start(program(), {QStringLiteral("/Silent")});
        EXPECT_TRUE(process.waitForStarted(30000));
        QElapsedTimer waited;
        waited.start();
        while (!runLogText().contains(line) && process.state() == QProcess::Running &&
               waited.elapsed() < 120000)
            QThread::msleep(5);
        EXPECT_TRUE(runLogText().contains(line)) << "never reached: " << line.toStdString();
        act(process);
        EXPECT_TRUE(process.waitForFinished(120000));
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                process.readAllStandardError()};
    }
};

TEST_F(FaultTest, AFullArchiveFolderGetsNoPartialArchive)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting a small file system needs root";
    prepare({QStringLiteral("--data"), QStringLiteral("4"), QStringLiteral("--data-size"),
             QStringLiteral("2000000")});
    // A 64 KiB file system as the archive folder, in a mount namespace of the run's own.
    const Outcome outcome =
        runThrough(QStringLiteral("mount -t tmpfs -o size=64k tmpfs '%1' || exit 99;")
                       .arg(path(QStringLiteral("archive"))),
                   {QStringLiteral("/Silent")}, true);
    if (outcome.status == 99)
        GTEST_SKIP() << "no small file system can be mounted here";
    EXPECT_EQ(outcome.status, 1);
    const QString log = runLogText();
    EXPECT_TRUE(log.contains(QStringLiteral("(error) in CopyArchiveToTargetFolder on frmMain:")));
    EXPECT_TRUE(log.contains(QStringLiteral("No space left on device")));
    EXPECT_FALSE(log.contains(QStringLiteral("    File copied")));
}

TEST_F(FaultTest, AFileSizeLimitCostsTheEntriesItStops)
{
    prepare({QStringLiteral("--data"), QStringLiteral("3"), QStringLiteral("--diag"),
             QStringLiteral("0"), QStringLiteral("--other"), QStringLiteral("0"),
             QStringLiteral("--data-size"), QStringLiteral("100000")});
    // One log far larger than the limit once compressed: random bytes.
    QByteArray noise(4 << 20, Qt::Uninitialized);
    for (qsizetype i = 0; i < noise.size(); ++i)
        noise[i] = char(QRandomGenerator::global()->generate());
    writeFile(QStringLiteral("orvel/logs/data_noise.log"), noise);

    const Outcome outcome =
        runThrough(QStringLiteral("ulimit -f 2048;"), {QStringLiteral("/Silent")});
    EXPECT_EQ(outcome.status, 1) << outcome.errors.toStdString();
    EXPECT_TRUE(
        runLogText().contains(QStringLiteral("(error) Failure appending file to zip.  File=") +
                              path(QStringLiteral("orvel/logs/data_noise.log"))));
    ASSERT_EQ(delivered().size(), 1);
    const auto content = readArchive(path(QStringLiteral("archive/")) + delivered().first());
    ASSERT_TRUE(content);
    EXPECT_EQ(content->size(), 3u);
    EXPECT_FALSE(content->count(QStringLiteral("data_noise.log")));
}

TEST_F(FaultTest, KilledWhileWritingTheArchiveLeavesNoPartialFile)
{
    prepare({QStringLiteral("--data"), QStringLiteral("12"), QStringLiteral("--data-size"),
             QStringLiteral("8000000"), QStringLiteral("--diag"), QStringLiteral("0")});
    runUntil(QStringLiteral("Compressing files into zip"), [](QProcess &p) { p.kill(); });
    EXPECT_TRUE(delivered().isEmpty());
    // At the archive's own name stands the archive without entries that the run began with, or
    // nothing; never a piece of the new one.
    for (const QString &name : QDir(path(QStringLiteral("program/ZIPS")))
                                   .entryList({QStringLiteral("*.ZIP")}, QDir::Files)) {
        const auto content = readArchive(path(QStringLiteral("program/ZIPS/")) + name);
        ASSERT_TRUE(content) << name.toStdString();
        EXPECT_TRUE(content->empty());
    }
    // The next run starts clean and completes.
    QDir(path(QStringLiteral("program/logs"))).removeRecursively();
    EXPECT_EQ(run({QStringLiteral("/Silent")}).status, 0);
    EXPECT_EQ(
        QDir(path(QStringLiteral("program/ZIPS"))).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

TEST_F(FaultTest, AnArchiveFolderRemovedDuringTheRunIsReported)
{
    prepare({QStringLiteral("--data"), QStringLiteral("12"), QStringLiteral("--data-size"),
             QStringLiteral("4000000"), QStringLiteral("--diag"), QStringLiteral("2")});
    const Outcome outcome = runUntil(QStringLiteral("Compressing files into zip"), [&](QProcess &) {
        QDir(path(QStringLiteral("archive"))).removeRecursively();
    });
    EXPECT_EQ(outcome.status, 1);
    EXPECT_TRUE(
        runLogText().contains(QStringLiteral("(error) in CopyArchiveToTargetFolder on frmMain:")));
    EXPECT_FALSE(QFileInfo::exists(path(QStringLiteral("archive"))));
}

TEST_F(FaultTest, TwentyThousandFilesMakeOneArchive)
{
    prepare({QStringLiteral("--data"), QStringLiteral("10000"), QStringLiteral("--data-size"),
             QStringLiteral("1024"), QStringLiteral("--diag"), QStringLiteral("10000"),
             QStringLiteral("--diag-size"), QStringLiteral("1024"), QStringLiteral("--other"),
             QStringLiteral("0")});
    EXPECT_EQ(run({QStringLiteral("/Silent")}).status, 0);
    ASSERT_EQ(delivered().size(), 1);
    const auto content = readArchive(path(QStringLiteral("archive/")) + delivered().first());
    ASSERT_TRUE(content);
    EXPECT_EQ(content->size(), 20000u);
}

} // namespace
