#include "archive/ArchiveDelivery.h"

#include "support/ArchiveReader.h"
#include "support/FaultyFileSystem.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>

namespace {

class ArchiveDeliveryTest : public TempEnvironment {
protected:
    void start(std::unique_ptr<FileSystem> fileSystem = nullptr)
    {
        program = makeProgram(QStringLiteral("program"), std::move(fileSystem));
        program->runLog().OpenRunLog(path(QStringLiteral("run.TXT")));
        program->ZipFilePath =
            path(QStringLiteral("program/ZIPS/LOG_Archive_SRV01_261204_14_05_09.ZIP"));
        writeFile(QStringLiteral("program/ZIPS/LOG_Archive_SRV01_261204_14_05_09.ZIP"),
                  archiveBytes);
        QDir().mkpath(path(QStringLiteral("archive")));
        host.folder = path(QStringLiteral("archive/"));
    }

    QString target() const
    {
        return path(QStringLiteral("archive/LOG_Archive_SRV01_261204_14_05_09.ZIP"));
    }

    QStringList logged() const
    {
        QStringList lines = runLogLines(readFile(QStringLiteral("run.TXT"))).mid(7);
        for (QString &line : lines)
            line = line.mid(line.indexOf(QStringLiteral(": ")) + 2);
        return lines;
    }

    QStringList archiveFolder() const
    {
        return QDir(path(QStringLiteral("archive"))).entryList(QDir::Files | QDir::Hidden);
    }

    const QByteArray archiveBytes = QByteArray(300000, 'Z') + "end";
    std::unique_ptr<Program> program;
};

TEST_F(ArchiveDeliveryTest, TheArchiveIsCopiedUnderItsOwnName)
{
    start();
    CopyArchiveToTargetFolder(*program, host);
    EXPECT_EQ(readFile(QStringLiteral("archive/LOG_Archive_SRV01_261204_14_05_09.ZIP")),
              archiveBytes);
    EXPECT_TRUE(QFile::exists(program->ZipFilePath)) << "the source stays";
    EXPECT_EQ(archiveFolder(),
              QStringList{QStringLiteral("LOG_Archive_SRV01_261204_14_05_09.ZIP")});
    EXPECT_EQ(logged(),
              (QStringList{QStringLiteral("    Moving ZIP file archive from :") +
                               program->ZipFilePath + QStringLiteral(" to destination:") + target(),
                           QStringLiteral("    File copied")}));
    EXPECT_EQ(program->runLog().ErrorCount(), 0);
}

TEST_F(ArchiveDeliveryTest, AnExistingFileIsNeverReplaced)
{
    start();
    writeFile(QStringLiteral("archive/LOG_Archive_SRV01_261204_14_05_09.ZIP"), "already here");
    CopyArchiveToTargetFolder(*program, host);
    EXPECT_EQ(readFile(QStringLiteral("archive/LOG_Archive_SRV01_261204_14_05_09.ZIP")),
              QByteArray("already here"));
    EXPECT_EQ(
        logged().last(),
        QStringLiteral("(error) a file already exists in the target folder for that file name."));
    EXPECT_EQ(program->runLog().ErrorCount(), 1);
}

TEST_F(ArchiveDeliveryTest, AFileThatAppearsDuringTheCopyIsKept)
{
    auto faulty = std::make_unique<FaultyFileSystem>();
    faulty->afterCopy = [&](const QString &, const QString &) {
        writeFile(QStringLiteral("archive/LOG_Archive_SRV01_261204_14_05_09.ZIP"),
                  "arrived meanwhile");
    };
    start(std::move(faulty));
    CopyArchiveToTargetFolder(*program, host);
    EXPECT_EQ(readFile(QStringLiteral("archive/LOG_Archive_SRV01_261204_14_05_09.ZIP")),
              QByteArray("arrived meanwhile"));
    EXPECT_EQ(archiveFolder(),
              QStringList{QStringLiteral("LOG_Archive_SRV01_261204_14_05_09.ZIP")});
    EXPECT_TRUE(logged().last().startsWith(
        QStringLiteral("(error) in CopyArchiveToTargetFolder on frmMain:")));
}

TEST_F(ArchiveDeliveryTest, AShortOrDamagedCopyLeavesNothingBehind)
{
    for (const bool shorten : {true, false}) {
        auto faulty = std::make_unique<FaultyFileSystem>();
        faulty->afterCopy = [shorten](const QString &, const QString &destination) {
            QFile copy(destination);
            if (shorten)
                copy.resize(1000);
            else if (copy.open(QIODevice::ReadWrite))
                copy.write("damage");
        };
        start(std::move(faulty));
        CopyArchiveToTargetFolder(*program, host);
        EXPECT_TRUE(archiveFolder().isEmpty()) << archiveFolder().join(' ').toStdString();
        EXPECT_TRUE(logged().last().startsWith(
            QStringLiteral("(error) in CopyArchiveToTargetFolder on frmMain:")))
            << logged().last().toStdString();
        EXPECT_FALSE(logged().contains(QStringLiteral("    File copied")));
    }
}

TEST_F(ArchiveDeliveryTest, AFolderGoneOrAnArchiveMissingIsReported)
{
    start();
    QDir(path(QStringLiteral("archive"))).removeRecursively();
    CopyArchiveToTargetFolder(*program, host);
    EXPECT_TRUE(logged().last().startsWith(
        QStringLiteral("(error) in CopyArchiveToTargetFolder on frmMain:")));
    EXPECT_FALSE(QFileInfo::exists(path(QStringLiteral("archive"))));

    start();
    QFile::remove(program->ZipFilePath);
    CopyArchiveToTargetFolder(*program, host);
    EXPECT_TRUE(logged().last().contains(program->ZipFilePath)) << logged().last().toStdString();
    EXPECT_TRUE(archiveFolder().isEmpty());
}

} // namespace
