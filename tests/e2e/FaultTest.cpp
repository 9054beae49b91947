// A whole unattended run stopped or killed part-way, or its archive folder taken away under it.
// (Faults set up before the run are rows of the run table; failing calls, the fault matrix.)
#include "support/ArchiveReader.h"
#include "support/ProcessFixture.h"

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
        return runThrough(QString(), {u"/Silent"_s}, false, [&](QProcess &process) {
            waitForLine(process, line);
            act(process);
        });
    }
};

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
        for (const QString &pid : QDir(u"/proc"_s).entryList({u"[0-9]*"_s}, QDir::Dirs)) {
            EXPECT_NE(QFile::symLinkTarget(u"/proc/"_s + pid + u"/exe"_s), helperCopy);
        }
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

} // namespace
