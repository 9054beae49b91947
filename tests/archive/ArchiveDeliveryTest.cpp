#include "archive/ArchiveDelivery.h"

#include "support/ArchiveReader.h"
#include "support/FaultyFileSystem.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>

#include <unistd.h>

namespace {

class ArchiveDeliveryTest : public RunStepTest {
protected:
    void start(std::unique_ptr<FileSystem> fileSystem = nullptr)
    {
        RunStepTest::start(std::move(fileSystem));
        program->ZipFilePath = path("program/ZIPS/LOG_Archive_SRV01_261204_14_05_09.ZIP");
        writeFile("program/ZIPS/LOG_Archive_SRV01_261204_14_05_09.ZIP", archiveBytes);
        QDir().mkpath(path("archive"));
        host.folder = path("archive/");
    }

    QString target() const { return path("archive/LOG_Archive_SRV01_261204_14_05_09.ZIP"); }

    QStringList archiveFolder() const
    {
        return QDir(path("archive")).entryList(QDir::Files | QDir::Hidden);
    }

    const QByteArray archiveBytes = QByteArray(300000, 'Z') + "end";
};

TEST_F(ArchiveDeliveryTest, TheArchiveIsCopiedUnderItsOwnName)
{
    start();
    // A folder restored from a hand-written setting may lack its separator.
    host.folder = path("archive");
    CopyArchiveToTargetFolder(*program, host);
    EXPECT_EQ(readFile("archive/LOG_Archive_SRV01_261204_14_05_09.ZIP"), archiveBytes);
    EXPECT_TRUE(QFile::exists(program->ZipFilePath)) << "the source stays";
    EXPECT_EQ(archiveFolder(), QStringList{u"LOG_Archive_SRV01_261204_14_05_09.ZIP"_s});
    EXPECT_EQ(logged(), (QStringList{u"    Moving ZIP file archive from :"_s +
                                         program->ZipFilePath + u" to destination:"_s + target(),
                                     u"    File copied"_s}));
    EXPECT_EQ(program->runLog().ErrorCount(), 0);
}

TEST_F(ArchiveDeliveryTest, AnExistingFileIsNeverReplaced)
{
    start();
    writeFile("archive/LOG_Archive_SRV01_261204_14_05_09.ZIP", "already here");
    CopyArchiveToTargetFolder(*program, host);
    EXPECT_EQ(readFile("archive/LOG_Archive_SRV01_261204_14_05_09.ZIP"),
              QByteArray("already here"));
    EXPECT_EQ(logged().last(),
              u"(error) a file already exists in the target folder for that file name."_s);
    EXPECT_EQ(program->runLog().ErrorCount(), 1);
}

TEST_F(ArchiveDeliveryTest, AFileThatAppearsDuringTheCopyIsKept)
{
    auto faulty = std::make_unique<FaultyFileSystem>();
    faulty->afterCopy = [&](const QString &, const QString &) {
        writeFile("archive/LOG_Archive_SRV01_261204_14_05_09.ZIP", "arrived meanwhile");
    };
    start(std::move(faulty));
    CopyArchiveToTargetFolder(*program, host);
    EXPECT_EQ(readFile("archive/LOG_Archive_SRV01_261204_14_05_09.ZIP"),
              QByteArray("arrived meanwhile"));
    EXPECT_EQ(archiveFolder(), QStringList{u"LOG_Archive_SRV01_261204_14_05_09.ZIP"_s});
    EXPECT_TRUE(logged().last().startsWith(u"(error) in CopyArchiveToTargetFolder on frmMain:"_s));
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
        EXPECT_TRUE(
            logged().last().startsWith(u"(error) in CopyArchiveToTargetFolder on frmMain:"_s))
            << logged().last().toStdString();
        EXPECT_FALSE(logged().contains(u"    File copied"_s));
    }
}

TEST_F(ArchiveDeliveryTest, CopiesLeftByKilledRunsOfThisComputerAreRemoved)
{
    start();
    // A copy left by a killed run, and the empty file by which one had already claimed its final
    // name (where renames may replace, as on a share).
    const QStringList dead = {
        u".LOG_Archive_SRV01_261203_01_02_03.ZIP.partial-999999999-0123abcd"_s,
        u".LOG_Archive_SRV01_261203_01_02_04.ZIP.partial-999999998-0123abcd"_s,
        u"LOG_Archive_SRV01_261203_01_02_04.ZIP"_s};
    const QStringList kept = {
        // Still being written by a live process (this one).
        u".LOG_Archive_SRV01_261203_01_02_03.ZIP.partial-%1-0123abcd"_s.arg(::getpid()),
        // Another computer's, on a shared folder, even one whose name begins alike.
        u".LOG_Archive_OTHER_261203_01_02_03.ZIP.partial-999999999-0123abcd"_s,
        u".LOG_Archive_SRV01_B_261203_01_02_03.ZIP.partial-999999999-0123abcd"_s,
        u"LOG_Archive_SRV01_261203_01_02_03.ZIP"_s};
    for (const QString &name : kept + dead)
        writeFile("archive/" + name, name == dead.last() ? "" : "x");
    CopyArchiveToTargetFolder(*program, host);
    QStringList expected = kept;
    expected << u"LOG_Archive_SRV01_261204_14_05_09.ZIP"_s;
    QStringList found = archiveFolder();
    expected.sort();
    found.sort();
    EXPECT_EQ(found, expected);

    // A copy that fails midway (a full share) leaves no piece behind either.
    auto faulty = std::make_unique<FaultyFileSystem>();
    faulty->afterCopy = [](const QString &, const QString &) {
        throw FileSystemError(ENOSPC, u"CopyFile"_s, u"archive"_s);
    };
    start(std::move(faulty));
    QDir(path("archive")).removeRecursively();
    QDir().mkpath(path("archive"));
    CopyArchiveToTargetFolder(*program, host);
    EXPECT_TRUE(archiveFolder().isEmpty()) << archiveFolder().join(' ').toStdString();
    EXPECT_TRUE(logged().last().contains(u"No space left on device"_s));
}

TEST_F(ArchiveDeliveryTest, AFolderGoneOrAnArchiveMissingIsReported)
{
    start();
    QDir(path("archive")).removeRecursively();
    CopyArchiveToTargetFolder(*program, host);
    EXPECT_TRUE(logged().last().startsWith(u"(error) in CopyArchiveToTargetFolder on frmMain:"_s));
    EXPECT_FALSE(QFileInfo::exists(path("archive")));

    start();
    QFile::remove(program->ZipFilePath);
    CopyArchiveToTargetFolder(*program, host);
    EXPECT_TRUE(logged().last().contains(program->ZipFilePath)) << logged().last().toStdString();
    EXPECT_TRUE(archiveFolder().isEmpty());
}

} // namespace

namespace {

TEST_F(ArchiveDeliveryTest, ACopyThatStopsPartWayLeavesNothingWhereverItStops)
{
    // Early, in the middle, late: the device fills up after so many bytes.
    for (const qint64 after :
         {qint64(0), qint64(1), archiveBytes.size() / 2, archiveBytes.size() - 1}) {
        SCOPED_TRACE(after);
        auto faulty = std::make_unique<FaultyFileSystem>();
        faulty->copyFailsAfter = after;
        start(std::move(faulty));
        CopyArchiveToTargetFolder(*program, host);
        EXPECT_TRUE(archiveFolder().isEmpty()) << archiveFolder().join(' ').toStdString();
        EXPECT_TRUE(logged().last().contains(u"No space left on device"_s));
        EXPECT_EQ(program->runLog().ErrorCount(), 1);
    }
    // Asked to stop while it copies (the person exits, a stop signal): the same.
    start();
    host.onProgress = [&] { program->requestCancel(); };
    CopyArchiveToTargetFolder(*program, host);
    EXPECT_EQ(host.unit, ProgressUnit::CopiedBytes);
    EXPECT_TRUE(archiveFolder().isEmpty()) << archiveFolder().join(' ').toStdString();
    EXPECT_TRUE(logged().last().contains(u"Operation canceled"_s)) << logged().last().toStdString();
}

} // namespace
