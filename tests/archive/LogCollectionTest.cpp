#include "archive/LogCollection.h"

#include "support/ArchiveReader.h"
#include "support/Ending.h"
#include "support/FaultyFileSystem.h"

#include <QDir>
#include <QFile>

namespace {

class LogCollectionTest : public TempEnvironment {
protected:
    void start(std::unique_ptr<FileSystem> fileSystem = nullptr)
    {
        program = makeProgram(QStringLiteral("program"), std::move(fileSystem));
        program->runLog().OpenRunLog(path(QStringLiteral("run.TXT")));
    }

    std::optional<int> archive()
    {
        return endStatusOf([&] { ArchiveFiles(*program, host); });
    }

    QStringList logged() const
    {
        QStringList lines = runLogLines(readFile(QStringLiteral("run.TXT"))).mid(7);
        for (QString &line : lines)
            line = line.mid(line.indexOf(QStringLiteral(": ")) + 2);
        return lines;
    }

    QString logs(const QString &name) const { return path(QStringLiteral("orvel/logs/")) + name; }
    QString formatted(const QString &name) const
    {
        return path(QStringLiteral("program/TempDiags/")) + name + QStringLiteral(".fmtd.txt");
    }

    std::unique_ptr<Program> program;
};

TEST_F(LogCollectionTest, PicksDataAndDiagFilesByNameAndFormatsTheDiagFiles)
{
    simulate({QStringLiteral("--data"), QStringLiteral("2"), QStringLiteral("--diag"),
              QStringLiteral("2"), QStringLiteral("--other"), QStringLiteral("2"),
              QStringLiteral("--odd")});
    start();
    EXPECT_EQ(archive(), std::nullopt);

    const auto content = readArchive(program->ZipFilePath);
    ASSERT_TRUE(content);
    std::set<QString> names;
    for (const auto &[name, entry] : *content)
        names.insert(name);
    EXPECT_EQ(
        names,
        (std::set<QString>{
            QStringLiteral("data_20261201_1.log"), QStringLiteral("data_20261202_2.log"),
            QStringLiteral("DATA_Upper.log"), QStringLiteral("Data_Mixed.log"),
            QStringLiteral("diag_20261201_1.log.fmtd.txt"),
            QStringLiteral("diag_20261202_2.log.fmtd.txt"),
            QStringLiteral("DIAG_Upper.log.fmtd.txt"), QStringLiteral("Diag_Mixed.log.fmtd.txt"),
            QStringLiteral("diag_.fmtd.txt"), QStringLiteral("diag_odd_lines.log.fmtd.txt")}));
    for (const char *data : {"data_20261201_1.log", "DATA_Upper.log"})
        EXPECT_EQ(content->at(QLatin1String(data)).sha256, fileDigest(logs(QLatin1String(data))))
            << "data files go in byte for byte";

    EXPECT_TRUE(QDir(path(QStringLiteral("program/TempDiags"))).entryList(QDir::Files).isEmpty());
    const qsizetype files = QDir(path(QStringLiteral("orvel/logs"))).entryList(QDir::Files).size();
    EXPECT_EQ(host.maximum, double(files)) << "every file counts, picked or not";
    EXPECT_EQ(host.value, double(files));
    EXPECT_GE(host.pumps, files);

    const QStringList lines = logged();
    EXPECT_EQ(lines.first(), QStringLiteral("    Starting ZIP file archive"));
    EXPECT_EQ(lines.mid(lines.size() - 3),
              (QStringList{
                  QStringLiteral("    Compressing files into zip - this may take a while..."),
                  QStringLiteral("    Emptying the temporary formatted diagnostic file location"),
                  QStringLiteral("    ZIP archive creation completed.")}));
    const qsizetype formatting = lines.indexOf(
        QStringLiteral("    Formatting diagnostic log file:") + logs(QStringLiteral("diag_")));
    ASSERT_GE(formatting, 0);
    EXPECT_EQ(lines.at(formatting + 1),
              QStringLiteral("    Formatting complete to:") + formatted(QStringLiteral("diag_")));
    EXPECT_EQ(lines.at(formatting + 2),
              QStringLiteral("    Adding file into zip:") + formatted(QStringLiteral("diag_")));
    EXPECT_TRUE(lines.contains(QStringLiteral("    Adding file into zip:") +
                               logs(QStringLiteral("Data_Mixed.log"))));
    for (const QString &line : lines)
        EXPECT_FALSE(line.contains(QStringLiteral("abc")) ||
                     line.contains(QStringLiteral("install_")) ||
                     line.contains(QStringLiteral("data_hidden")))
            << line.toStdString();
}

TEST_F(LogCollectionTest, AnUnformattableDiagFileGoesInRaw)
{
    simulate({QStringLiteral("--data"), QStringLiteral("0"), QStringLiteral("--diag"),
              QStringLiteral("1"), QStringLiteral("--other"), QStringLiteral("0")});
    auto faulty = std::make_unique<FaultyFileSystem>();
    faulty->failOn(QStringLiteral("CreateTextFile"), QStringLiteral(".fmtd.txt"));
    start(std::move(faulty));
    EXPECT_EQ(archive(), std::nullopt);
    const QString raw = logs(QStringLiteral("diag_20261201_1.log"));
    EXPECT_TRUE(logged().contains(
        QStringLiteral("(error) unable to format diagnostic file:") + raw +
        QStringLiteral(" - adding raw file into zip file instead of formatted file.")));
    const auto content = readArchive(program->ZipFilePath);
    ASSERT_TRUE(content);
    ASSERT_EQ(content->size(), 1u);
    EXPECT_EQ(content->at(QStringLiteral("diag_20261201_1.log")).sha256, fileDigest(raw));
}

TEST_F(LogCollectionTest, AnEmptyLoggingFolderGivesAnArchiveWithoutEntries)
{
    simulate({QStringLiteral("--data"), QStringLiteral("0"), QStringLiteral("--diag"),
              QStringLiteral("0"), QStringLiteral("--other"), QStringLiteral("0")});
    start();
    EXPECT_EQ(archive(), std::nullopt);
    const auto content = readArchive(program->ZipFilePath);
    ASSERT_TRUE(content);
    EXPECT_TRUE(content->empty());
    EXPECT_EQ(logged().size(), 4);
}

TEST_F(LogCollectionTest, AMissingOrUnnamedLoggingFolderEndsTheRun)
{
    simulate({QStringLiteral("--no-logging-folder")});
    start();
    EXPECT_EQ(archive(), ExitStatus::RunFailed);
    EXPECT_EQ(
        logged().last(),
        QStringLiteral("(error) empty log file path found in registry: "
                       "SOFTWARE\\Quenvo\\QuenvoLogMgr\\1.0\\Output Path - exiting application."));
    EXPECT_EQ(dialogs.texts,
              std::vector<QString>{QStringLiteral(
                  "Failed to find Orvel logging folder in registry:empty log file path found in "
                  "registry at: SOFTWARE\\Quenvo\\QuenvoLogMgr\\1.0\\Output Path - exiting "
                  "application.")});
    const auto content = readArchive(program->ZipFilePath);
    ASSERT_TRUE(content) << "an archive without entries is left";
    EXPECT_TRUE(content->empty());
    EXPECT_TRUE(QFileInfo(path(QStringLiteral("program/TempDiags"))).isDir());

    simulate();
    QDir(path(QStringLiteral("orvel/logs"))).removeRecursively();
    dialogs.texts.clear();
    start();
    program->SilentMode = true;
    EXPECT_EQ(archive(), ExitStatus::RunFailed);
    EXPECT_EQ(logged().last(),
              QStringLiteral("(error) log file path found in registry not found on hard drive: ") +
                  path(QStringLiteral("orvel/logs")) + QStringLiteral(" - exiting application."));
    EXPECT_TRUE(dialogs.texts.empty());
}

TEST_F(LogCollectionTest, AFailedNewZipIsToldAndTheRunGoesOn)
{
    simulate();
    writeFile(QStringLiteral("program/ZIPS"), "a file where the folder should be");
    start();
    EXPECT_EQ(archive(), std::nullopt);
    ASSERT_EQ(dialogs.texts.size(), 1u);
    EXPECT_TRUE(
        dialogs.texts[0].startsWith(QStringLiteral("Error creating newzip in ArchiveFiles:")))
        << dialogs.texts[0].toStdString();
    EXPECT_EQ(logged(), QStringList{QStringLiteral("    Starting ZIP file archive")});

    program->SilentMode = true;
    EXPECT_EQ(archive(), ExitStatus::RunFailed);
    EXPECT_TRUE(
        logged().last().startsWith(QStringLiteral("(error) creating newzip in ArchiveFiles:")));
    EXPECT_TRUE(logged().last().endsWith(QStringLiteral(" - exiting application")));
}

// Files that go away while the run goes through the folder: each one still to be added costs its
// entry and one run-log line; everything else is archived.
TEST_F(LogCollectionTest, FilesThatGoAwayDuringTheRunAreNamedAndTheRestArchived)
{
    simulate({QStringLiteral("--data"), QStringLiteral("4"), QStringLiteral("--diag"),
              QStringLiteral("0")});
    QStringList removed;
    host.onPump = [&] {
        if (host.pumps != 1)
            return;
        const QString shown = program->runLog().pane().text();
        for (const QString &name :
             QDir(path(QStringLiteral("orvel/logs"))).entryList({QStringLiteral("data_*")})) {
            if (!shown.contains(QStringLiteral("Adding file into zip:") + logs(name))) {
                QFile::remove(logs(name));
                removed << logs(name);
            }
        }
    };
    start();
    EXPECT_EQ(archive(), std::nullopt);
    ASSERT_FALSE(removed.isEmpty());
    const auto content = readArchive(program->ZipFilePath);
    ASSERT_TRUE(content);
    EXPECT_EQ(content->size(), size_t(4 - removed.size()));
    for (const QString &gone : removed) {
        bool told = false;
        for (const QString &line : logged())
            told = told ||
                   line.startsWith(QStringLiteral("(error) Failure appending file to zip.  File=") +
                                   gone + QStringLiteral(", error=Cannot read "));
        EXPECT_TRUE(told) << gone.toStdString();
    }
}

} // namespace
