#include "runlog/FileNames.h"

#include "support/FaultyFileSystem.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>

namespace {

class FileNamesTest : public TempEnvironment {};

TEST_F(FileNamesTest, RunLogIsNamedAfterTheProgramAndTheTime)
{
    auto program = makeProgram();
    const QString name = GenerateNewLogFileName(program->runFiles());
    EXPECT_EQ(name, path("program/logs/Sorvik_Log__261204_14_05_09.TXT"));
    EXPECT_TRUE(QFileInfo(path("program/logs")).isDir());
    EXPECT_FALSE(QFile::exists(name)) << "naming creates no file";

    clockTime = QDateTime(QDate(2027, 1, 2), QTime(3, 4, 5));
    EXPECT_EQ(GenerateNewLogFileName(program->runFiles()),
              path("program/logs/Sorvik_Log__270102_03_04_05.TXT"));
}

TEST_F(FileNamesTest, ArchiveIsNamedAfterTheComputerInAnEmptiedFolder)
{
    writeFile("program/ZIPS/LOG_Archive_old.ZIP", "old");
    writeFile("program/ZIPS/keep/inside", "kept");
    auto program = makeProgram();
    EXPECT_EQ(GenerateBackupDataFileName(program->runFiles()),
              path("program/ZIPS/LOG_Archive_SRV01_261204_14_05_09.ZIP"));
    EXPECT_EQ(QDir(path("program/ZIPS")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
              QStringList{u"keep"_s});

    workstation->workstationAnswers = false;
    auto nameless = makeProgram(u"other"_s);
    EXPECT_EQ(GenerateBackupDataFileName(nameless->runFiles()),
              path("other/ZIPS/LOG_Archive__261204_14_05_09.ZIP"));
    EXPECT_TRUE(QFileInfo(path("other/ZIPS")).isDir());
}

TEST_F(FileNamesTest, AFailingStepIsToldAndTheNameStillComes)
{
    auto faulty = std::make_unique<FaultyFileSystem>();
    faulty->failOn(u"CreateFolder"_s);
    auto program = makeProgram(u"program"_s, std::move(faulty));
    EXPECT_EQ(GenerateNewLogFileName(program->runFiles()),
              path("program/logs/Sorvik_Log__261204_14_05_09.TXT"));
    ASSERT_EQ(dialogs.texts.size(), 1u);
    EXPECT_TRUE(dialogs.texts[0].startsWith(u"(error):13 (CreateFolder '"_s));
    EXPECT_TRUE(dialogs.texts[0].endsWith(QStringLiteral(
        "': Permission denied) in procedure GenerateNewLogFileName of Module Module1")));

    // Unattended, nobody is asked.
    program->SilentMode = true;
    GenerateNewLogFileName(program->runFiles());
    EXPECT_EQ(dialogs.texts.size(), 1u);
}

} // namespace
