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
        program = makeProgram(u"program"_s, std::move(fileSystem));
        program->runLog().OpenRunLog(path("run.TXT"));
    }

    std::optional<int> archive()
    {
        return endStatusOf([&] { ArchiveFiles(*program, host); });
    }

    QStringList logged() const { return runLogEvents(readFile("run.TXT")); }

    QString logs(const QString &name) const { return path("orvel/logs/") + name; }
    QString formatted(const QString &name) const
    {
        return path("program/TempDiags/") + name + u".fmtd.txt"_s;
    }

    std::unique_ptr<Program> program;
};

TEST_F(LogCollectionTest, PicksDataAndDiagFilesByNameAndFormatsTheDiagFiles)
{
    simulate({u"--data"_s, u"2"_s, u"--diag"_s, u"2"_s, u"--other"_s, u"2"_s, u"--odd"_s});
    start();
    EXPECT_EQ(archive(), std::nullopt);

    const auto content = readArchive(program->ZipFilePath);
    ASSERT_TRUE(content);
    std::set<QString> names;
    for (const auto &[name, entry] : *content)
        names.insert(name);
    EXPECT_EQ(names, (std::set<QString>{u"data_20261201_1.log"_s, u"data_20261202_2.log"_s,
                                        u"DATA_Upper.log"_s, u"Data_Mixed.log"_s,
                                        u"diag_20261201_1.log.fmtd.txt"_s,
                                        u"diag_20261202_2.log.fmtd.txt"_s,
                                        u"DIAG_Upper.log.fmtd.txt"_s, u"Diag_Mixed.log.fmtd.txt"_s,
                                        u"diag_.fmtd.txt"_s, u"diag_odd_lines.log.fmtd.txt"_s}));
    for (const char *data : {"data_20261201_1.log", "DATA_Upper.log"})
        EXPECT_EQ(content->at(QLatin1String(data)).sha256, fileDigest(logs(QLatin1String(data))))
            << "data files go in byte for byte";

    EXPECT_TRUE(QDir(path("program/TempDiags")).entryList(QDir::Files).isEmpty());
    const qsizetype files = QDir(path("orvel/logs")).entryList(QDir::Files).size();
    EXPECT_EQ(host.maximum, double(files)) << "every file counts, picked or not";
    EXPECT_EQ(host.value, double(files));
    EXPECT_GE(host.pumps, files);

    const QStringList lines = logged();
    EXPECT_EQ(lines.first(), u"    Starting ZIP file archive"_s);
    EXPECT_EQ(lines.mid(lines.size() - 3),
              (QStringList{u"    Compressing files into zip - this may take a while..."_s,
                           u"    Emptying the temporary formatted diagnostic file location"_s,
                           u"    ZIP archive creation completed."_s}));
    const qsizetype formatting =
        lines.indexOf(u"    Formatting diagnostic log file:"_s + logs(u"diag_"_s));
    ASSERT_GE(formatting, 0);
    EXPECT_EQ(lines.at(formatting + 1), u"    Formatting complete to:"_s + formatted(u"diag_"_s));
    EXPECT_EQ(lines.at(formatting + 2), u"    Adding file into zip:"_s + formatted(u"diag_"_s));
    EXPECT_TRUE(lines.contains(u"    Adding file into zip:"_s + logs(u"Data_Mixed.log"_s)));
    for (const QString &line : lines)
        EXPECT_FALSE(line.contains(u"abc"_s) || line.contains(u"install_"_s) ||
                     line.contains(u"data_hidden"_s))
            << line.toStdString();
}

TEST_F(LogCollectionTest, AnUnformattableDiagFileGoesInRaw)
{
    simulate({u"--data"_s, u"0"_s, u"--diag"_s, u"1"_s, u"--other"_s, u"0"_s});
    auto faulty = std::make_unique<FaultyFileSystem>();
    faulty->failOn(u"CreateTextFile"_s, u".fmtd.txt"_s);
    start(std::move(faulty));
    EXPECT_EQ(archive(), std::nullopt);
    const QString raw = logs(u"diag_20261201_1.log"_s);
    EXPECT_TRUE(
        logged().contains(u"(error) unable to format diagnostic file:"_s + raw +
                          u" - adding raw file into zip file instead of formatted file."_s));
    const auto content = readArchive(program->ZipFilePath);
    ASSERT_TRUE(content);
    ASSERT_EQ(content->size(), 1u);
    EXPECT_EQ(content->at(u"diag_20261201_1.log"_s).sha256, fileDigest(raw));
}

TEST_F(LogCollectionTest, AnEmptyLoggingFolderGivesAnArchiveWithoutEntries)
{
    simulate({u"--data"_s, u"0"_s, u"--diag"_s, u"0"_s, u"--other"_s, u"0"_s});
    start();
    EXPECT_EQ(archive(), std::nullopt);
    const auto content = readArchive(program->ZipFilePath);
    ASSERT_TRUE(content);
    EXPECT_TRUE(content->empty());
    EXPECT_EQ(logged().size(), 4);
}

TEST_F(LogCollectionTest, AMissingOrUnnamedLoggingFolderEndsTheRun)
{
    simulate({u"--no-logging-folder"_s});
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
    EXPECT_TRUE(QFileInfo(path("program/TempDiags")).isDir());

    simulate();
    QDir(path("orvel/logs")).removeRecursively();
    dialogs.texts.clear();
    start();
    program->SilentMode = true;
    EXPECT_EQ(archive(), ExitStatus::RunFailed);
    EXPECT_EQ(logged().last(),
              u"(error) log file path found in registry not found on hard drive: "_s +
                  path("orvel/logs") + u" - exiting application."_s);
    EXPECT_TRUE(dialogs.texts.empty());
}

TEST_F(LogCollectionTest, AFailedNewZipIsToldAndTheRunGoesOn)
{
    simulate();
    writeFile("program/ZIPS", "a file where the folder should be");
    start();
    EXPECT_EQ(archive(), std::nullopt);
    ASSERT_EQ(dialogs.texts.size(), 1u);
    EXPECT_TRUE(dialogs.texts[0].startsWith(u"Error creating newzip in ArchiveFiles:"_s))
        << dialogs.texts[0].toStdString();
    EXPECT_EQ(logged(), QStringList{u"    Starting ZIP file archive"_s});

    program->SilentMode = true;
    EXPECT_EQ(archive(), ExitStatus::RunFailed);
    EXPECT_TRUE(logged().last().startsWith(u"(error) creating newzip in ArchiveFiles:"_s));
    EXPECT_TRUE(logged().last().endsWith(u" - exiting application"_s));
}

// Files that go away while the run goes through the folder: each one still to be added costs its
// entry and one run-log line; everything else is archived.
TEST_F(LogCollectionTest, FilesThatGoAwayDuringTheRunAreNamedAndTheRestArchived)
{
    simulate({u"--data"_s, u"4"_s, u"--diag"_s, u"0"_s});
    QStringList removed;
    host.onPump = [&] {
        if (host.pumps != 1)
            return;
        const QString shown = program->runLog().pane().text();
        for (const QString &name : QDir(path("orvel/logs")).entryList({u"data_*"_s})) {
            if (!shown.contains(u"Adding file into zip:"_s + logs(name))) {
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
            told = told || line.startsWith(u"(error) Failure appending file to zip.  File="_s +
                                           gone + u", error=Cannot read "_s);
        EXPECT_TRUE(told) << gone.toStdString();
    }
}

} // namespace
