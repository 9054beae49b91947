#include "runlog/FileNames.h"
#include "common/Failure.h"
#include "runlog/FolderUtilities.h"

#include "support/FaultyFileSystem.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>

#include <sys/stat.h>

namespace {

class FileNamesTest : public TempEnvironment {};

TEST_F(FileNamesTest, RunLogIsNamedAfterTheProgramAndTheTime)
{
    auto run = makeRun();
    const QString name = GenerateNewLogFileName(run->runFiles());
    EXPECT_EQ(name, path("program/logs/Sorvik_Log__261204_14_05_09.TXT"));
    EXPECT_TRUE(QFileInfo(path("program/logs")).isDir());
    EXPECT_FALSE(QFile::exists(name)) << "naming creates no file";

    clockTime = QDateTime(QDate(2027, 1, 2), QTime(3, 4, 5));
    EXPECT_EQ(GenerateNewLogFileName(run->runFiles()),
              path("program/logs/Sorvik_Log__270102_03_04_05.TXT"));
}

TEST_F(FileNamesTest, ArchiveIsNamedAfterTheComputerInAnEmptiedFolder)
{
    writeFile("program/ZIPS/LOG_Archive_old.ZIP", "old");
    writeFile("program/ZIPS/keep/inside", "kept");
    auto run = makeRun();
    EXPECT_EQ(GenerateBackupDataFileName(run->runFiles()),
              path("program/ZIPS/LOG_Archive_SRV01_261204_14_05_09.ZIP"));
    EXPECT_EQ(QDir(path("program/ZIPS")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
              QStringList{u"keep"_s});

    workstation->workstationAnswers = false;
    auto nameless = makeRun(u"other"_s);
    EXPECT_EQ(GenerateBackupDataFileName(nameless->runFiles()),
              path("other/ZIPS/LOG_Archive__261204_14_05_09.ZIP"));
    EXPECT_TRUE(QFileInfo(path("other/ZIPS")).isDir());
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
}

} // namespace

namespace {

mode_t modeOf(const QString &path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
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

} // namespace
