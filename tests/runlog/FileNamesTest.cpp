#include "runlog/FileNames.h"
#include "common/Failure.h"
#include "common/TimeText.h"
#include "runlog/FolderUtilities.h"
#include "runlog/RunLogReading.h"

#include "support/FaultyFileSystem.h"
#include "support/OwnedFile.h"
#include "support/TestEnvironment.h"

#include <QFile>

#include <random>
#include <sys/stat.h>
#include <utime.h>

namespace {

class FileNamesTest : public TempEnvironment {};

// The order --last-log reads run logs in: the newest change first, a tie (logs copied at one
// moment) by the name, whatever the clock said when each was named. Other programs' logs and
// other files are no run logs of ours.
TEST_F(FileNamesTest, RunLogsAreReadNewestFirstATieByTheName)
{
    auto run = makeRun();
    std::mt19937 random(20261207);
    std::vector<std::pair<time_t, QString>> logs; // last change, path
    for (int i = 0; i < 24; ++i) {
        clockTime = QDateTime(QDate(2000, 1, 1), QTime(0, 0)).addSecs(random() % 3155760000u);
        const QString log = GenerateNewLogFileName(run->runFiles());
        EXPECT_TRUE(QFileInfo(path("program/logs")).isDir() && !QFile::exists(log))
            << "the folder is made, the log is not";
        logs.push_back({1700000000 + time_t(random() % 5) * 60, log}); // ties on purpose
    }
    // Written once all are named: naming removes what is 30 days older than the clock.
    for (const char *other : {"Other_Log__261204_14_05_09.TXT", "Sorvik_Log__261204_14_05_09.TXT.1",
                              "Sorvik-Log__261204_14_05_09.TXT"})
        writeFile(u"program/logs/"_s + QLatin1String(other), "x");
    for (const auto &[changed, log] : logs) {
        writeFile(u"program/logs/"_s + QFileInfo(log).fileName(), "x");
        const utimbuf times{changed, changed};
        ASSERT_EQ(::utime(QFile::encodeName(log).constData(), &times), 0);
    }
    std::sort(logs.begin(), logs.end(), std::greater<>());
    QStringList expected;
    for (const auto &[changed, log] : logs)
        expected << log;
    EXPECT_EQ(runLogsNewestFirst(run->fileSystem(), path("program/logs"), u"Sorvik"_s), expected);
}

TEST_F(FileNamesTest, AFailingStepIsToldAndTheNameStillComes)
{
    auto faulty = std::make_unique<FaultyFileSystem>();
    faulty->failOn(u"CreateFolder"_s);
    auto run = makeRun(u"program"_s, std::move(faulty));
    EXPECT_EQ(GenerateNewLogFileName(run->runFiles()),
              path("program/logs/Sorvik_Log__261204_14_05_09.TXT"));
    ASSERT_EQ(dialogs.texts.size(), 1u);
    EXPECT_TRUE(dialogs.texts[0].startsWith(u"(error):13 (CreateFolder '"_s));
    EXPECT_TRUE(dialogs.texts[0].endsWith(QStringLiteral(
        "': Permission denied) in procedure GenerateNewLogFileName of Module Module1")));

    // Unattended, nobody is asked.
    run->SilentMode = true;
    GenerateNewLogFileName(run->runFiles());
    EXPECT_EQ(dialogs.texts.size(), 1u);

    // A computer that gives no name still gets its archive.
    workstation->workstationAnswers = false;
    EXPECT_EQ(GenerateBackupDataFileName(makeRun(u"other"_s)->runFiles()),
              path("other/ZIPS/LOG_Archive__261204_14_05_09.ZIP"));
}

// The working folders hold what the run makes from the served product's logs: made owner-only
// whatever the umask, made private when others may write them, and refused, untouched, when
// another account owns them (no name is given then: nothing may be made there).
TEST_F(FileNamesTest, WorkingFoldersArePrivateOrRefused)
{
    auto run = makeRun();
    const mode_t saved = ::umask(0);
    GenerateNewLogFileName(run->runFiles());
    GenerateBackupDataFileName(run->runFiles());
    CreateOrEmptyFolder(run->fileSystem(), path("program/TempDiags"));
    ::umask(saved);
    for (const char *folder : {"program/logs", "program/ZIPS", "program/TempDiags"}) {
        EXPECT_EQ(modeOf(path(folder)), 0700u) << folder;
        ::chmod(QFile::encodeName(path(folder)).constData(), 0777);
    }
    EXPECT_FALSE(GenerateNewLogFileName(run->runFiles()).isEmpty());
    EXPECT_FALSE(GenerateBackupDataFileName(run->runFiles()).isEmpty());
    CreateOrEmptyFolder(run->fileSystem(), path("program/TempDiags"));
    for (const char *folder : {"program/logs", "program/ZIPS", "program/TempDiags"})
        EXPECT_EQ(modeOf(path(folder)), 0700u) << folder << " made private";
    EXPECT_TRUE(dialogs.texts.empty());

    if (::geteuid() != 0)
        GTEST_SKIP() << "only root can give a folder away";
    for (const char *folder : {"program/logs", "program/ZIPS", "program/TempDiags"}) {
        writeFile(QString::fromLatin1(folder) + u"/theirs"_s, "kept");
        ::chown(QFile::encodeName(path(folder)).constData(), 65534, 65534);
    }
    EXPECT_EQ(GenerateNewLogFileName(run->runFiles()), QString());
    EXPECT_EQ(GenerateBackupDataFileName(run->runFiles()), QString());
    EXPECT_THROW(CreateOrEmptyFolder(run->fileSystem(), path("program/TempDiags")), Failure);
    ASSERT_EQ(dialogs.texts.size(), 2u);
    EXPECT_TRUE(dialogs.texts[0].contains(u"another account owns"_s) &&
                dialogs.texts[0].contains(path("program/logs")))
        << dialogs.texts[0].toStdString();
    EXPECT_TRUE(dialogs.texts[1].startsWith(u"Error 1 (Cannot use a working folder that another "
                                            "account owns '"_s +
                                            path("program/ZIPS")))
        << dialogs.texts[1].toStdString();
    for (const char *folder : {"program/logs", "program/ZIPS", "program/TempDiags"})
        EXPECT_EQ(readFile(QString::fromLatin1(folder) + u"/theirs"_s), QByteArray("kept"))
            << folder << " emptied";
}

// A run started within the second of the one before (a retry at once) names its run log and
// its archive in the next second: neither the last run's log nor its archive is taken over.
TEST_F(FileNamesTest, ARunWithinTheSecondOfTheLastTakesTheNextSecond)
{
    auto run = makeRun();
    const QString log = GenerateNewLogFileName(run->runFiles()),
                  archive = GenerateBackupDataFileName(run->runFiles());
    const qsizetype root = path(u""_s).size() + 1;
    for (const QString &made : {log, archive})
        writeFile(made.mid(root), "the last run's");
    RunFiles files = run->runFiles();
    int reads = 0;
    files.clock = [&] { return clockTime.addSecs(++reads > 3 ? 1 : 0); };
    const QString now = fileTimeStamp(clockTime), next = fileTimeStamp(clockTime.addSecs(1));
    EXPECT_EQ(GenerateNewLogFileName(files), QString(log).replace(now, next));
    reads = 0;
    EXPECT_EQ(GenerateBackupDataFileName(files), QString(archive).replace(now, next));
    EXPECT_EQ(readFile(log.mid(root)), "the last run's");
}

} // namespace
