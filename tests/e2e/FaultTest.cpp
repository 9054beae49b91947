// A whole unattended run stopped part-way, or its archive folder taken away under it. (Faults set
// up before the run are rows of the run table; failing and killed calls, the fault matrix.)
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
        for (const QString &pid : QDir(u"/proc"_s).entryList({u"[0-9]*"_s}, QDir::Dirs))
            EXPECT_NE(QFile::symLinkTarget(u"/proc/"_s + pid + u"/exe"_s), helperCopy);
    }
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
