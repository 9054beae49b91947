#include "archive/ZipArchive.h"

#include "platform/FileSystem.h"
#include "support/ArchiveReader.h"
#include "support/TestEnvironment.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>

namespace {

class ZipArchiveTest : public TempEnvironment {
protected:
    QString zipPath() const { return path("ZIPS/archive.ZIP"); }
    void SetUp() override
    {
        TempEnvironment::SetUp();
        QDir().mkpath(path("ZIPS"));
    }

    QByteArray someText(int size, char seed) const
    {
        QByteArray text;
        for (int i = 0; text.size() < size; ++i)
            text += "line " + QByteArray::number(i * seed) + " of the log\r\n";
        return text.left(size);
    }

    // The archive's permission bits; none when it is not there.
    mode_t archiveMode() const
    {
        struct stat st {};
        return ::stat(nativePath(zipPath()).constData(), &st) == 0 ? st.st_mode & 0777 : 0;
    }

    QStringList leftInZips() const
    {
        return QDir(path("ZIPS")).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    }
};

// Names are the files' own bytes, UTF-8 or not; the archive is its owner's alone, whatever the
// umask, as the logs in it are not everyone's.
TEST_F(ZipArchiveTest, EntriesAreStoredUnderTheirNamesDeflated)
{
    writeFile("logs/data_one.log", someText(300000, 3));
    writeFile("logs/data_empty.log", QByteArray());
    writeFile("fmt/diag_x.log.fmtd.txt", someText(5000, 7));
    const QString utf8 = decodeNativePath("data_\xc3\xa9.log");
    const QString bytes = decodeNativePath("data_\xff\xfe.log");
    for (const QString &name : {utf8, bytes})
        FileSystem().CreateTextFile(path("logs/") + name, true, false)->Write(name.left(5));
    // Qt's own removal of the temporary folder cannot spell a name that is not UTF-8.
    const auto cleanUp = qScopeGuard([&] { ::unlink(nativePath(path("logs/") + bytes)); });
    const mode_t savedMask = ::umask(0);
    {
        ZipArchive zip(6, 2);
        ASSERT_EQ(zip.NewZip(zipPath()), 1);
        for (const QString &file :
             {u"logs/data_one.log"_s, u"logs/data_empty.log"_s, u"fmt/diag_x.log.fmtd.txt"_s,
              u"logs/"_s + utf8, u"logs/"_s + bytes})
            ASSERT_EQ(zip.AddFile(path(file), 0), 1) << zip.ErrorText().toStdString();
        // Each entry keeps the level it was added at.
        for (const int level : {1, 12}) {
            zip.setCompressionLevel(level);
            ASSERT_EQ(zip.AddData(path("level%1.log").arg(level), someText(300000, 7)), 1);
        }
        ASSERT_EQ(zip.SaveArchive(), 1) << zip.ErrorText().toStdString();
    }
    ::umask(savedMask);
    EXPECT_EQ(archiveMode(), 0600u);
    const auto content = readArchive(zipPath());
    ASSERT_TRUE(content);
    ASSERT_EQ(content->size(), 7u);
    EXPECT_GT(content->at(u"level1.log"_s).compressedSize,
              content->at(u"level12.log"_s).compressedSize + 1000);
    const QByteArray data = QCryptographicHash::hash("data_", QCryptographicHash::Sha256).toHex();
    EXPECT_EQ(content->at(utf8).sha256, data);
    EXPECT_EQ(content->at(bytes).sha256, data);
    EXPECT_EQ(content->at(u"data_one.log"_s).sha256, fileDigest(path("logs/data_one.log")));
    EXPECT_EQ(content->at(u"data_one.log"_s).method, 8);
    EXPECT_EQ(content->at(u"data_empty.log"_s).size, 0);
    EXPECT_EQ(content->at(u"diag_x.log.fmtd.txt"_s).sha256,
              fileDigest(path("fmt/diag_x.log.fmtd.txt")));
    EXPECT_EQ(leftInZips(), QStringList{u"archive.ZIP"_s}) << "no temporaries stay";

    QProcess unzip;
    unzip.start(u"unzip"_s, {u"-tq"_s, zipPath()});
    ASSERT_TRUE(unzip.waitForFinished(60000));
    EXPECT_EQ(unzip.exitCode(), 0) << unzip.readAllStandardOutput().toStdString();
}

TEST_F(ZipArchiveTest, AnArchiveWithoutEntriesIsStillAnArchive)
{
    ZipArchive zip;
    ASSERT_EQ(zip.NewZip(zipPath()), 1);
    const mode_t savedMask = ::umask(0);
    ASSERT_EQ(zip.SaveArchive(), 1);
    ::umask(savedMask);
    EXPECT_EQ(archiveMode(), 0600u);
    const auto content = readArchive(zipPath());
    ASSERT_TRUE(content);
    EXPECT_TRUE(content->empty());
}

// The archive's temporary is made exclusively: a file someone made there first (and holds open,
// to read the archive through it) or a link gives way to a new file and never sees a byte of it.
TEST_F(ZipArchiveTest, TheTemporaryIsNeverWhatSomeoneElseMadeThere)
{
    writeFile("target", "kept");
    const QString temporary = zipPath() + u".tmp"_s;
    for (const bool link : {false, true}) {
        QFile::remove(temporary);
        if (link)
            QFile::link(path("target"), temporary);
        else
            writeFile("ZIPS/archive.ZIP.tmp", QByteArray());
        const int theirs = ::open(nativePath(temporary).constData(), O_RDONLY);
        ASSERT_GE(theirs, 0);
        ZipArchive zip;
        ASSERT_EQ(zip.NewZip(zipPath()), 1);
        writeFile("data_1.log", "served");
        ASSERT_EQ(zip.AddFile(path("data_1.log"), 0), 1);
        ASSERT_EQ(zip.SaveArchive(), 1);
        char bytes[16];
        const ssize_t n = ::pread(theirs, bytes, sizeof bytes, 0);
        ::close(theirs);
        EXPECT_EQ(QByteArray(bytes, int(std::max<ssize_t>(n, 0))),
                  link ? QByteArray("kept") : QByteArray())
            << (link ? "a link" : "a file held open");
        EXPECT_TRUE(readArchive(zipPath()));
    }
}

TEST_F(ZipArchiveTest, FailuresSayWhatWentWrong)
{
    ZipArchive zip;
    EXPECT_EQ(zip.AddFile(path("x"), 0), 0);
    EXPECT_EQ(zip.NewZip(path("missing/archive.ZIP")), 0);
    EXPECT_TRUE(zip.ErrorText().contains(u"No such file or directory"_s))
        << zip.ErrorText().toStdString();

    ASSERT_EQ(zip.NewZip(zipPath()), 1);
    EXPECT_EQ(zip.AddFile(path("nothing.log"), 0), 0);
    EXPECT_TRUE(zip.ErrorText().contains(path("nothing.log")));
    EXPECT_EQ(zip.AddFile(path("ZIPS"), 0), 0) << "a folder is no file";
    writeFile("secret.txt", "not a log");
    ASSERT_EQ(::symlink(nativePath(path("secret.txt")).constData(),
                        nativePath(path("data_link.log")).constData()),
              0);
    EXPECT_EQ(zip.AddFile(path("data_link.log"), 0), 0) << "a link is not followed";
    EXPECT_TRUE(zip.ErrorText().contains(path("data_link.log")));

    writeFile("a/same.log", "a");
    writeFile("b/same.log", "b");
    EXPECT_EQ(zip.AddFile(path("a/same.log"), 0), 1);
    EXPECT_EQ(zip.AddFile(path("b/same.log"), 0), 0);
    EXPECT_TRUE(zip.ErrorText().contains(u"same.log"_s));
    ASSERT_EQ(zip.SaveArchive(), 1);
    EXPECT_EQ(zip.AddFile(path("b/same.log"), 0), 0) << "a saved archive is complete";
    EXPECT_TRUE(zip.ErrorText().contains(u"complete"_s));
}

// Files larger than a piece are deflated piece by piece on several workers: the pieces must join
// into one stream whatever their content leaves in the last byte of each, and an archive of
// 70,000 entries needs the ZIP64 end records.
TEST_F(ZipArchiveTest, PiecesJoinIntoOneEntryAndCountsPastTheLimitTakeZip64)
{
    std::mt19937 random(7);
    const auto noise = [&](int size) {
        QByteArray bytes(size, Qt::Uninitialized);
        for (char &byte : bytes)
            byte = char(random());
        return bytes;
    };
    const struct {
        const char *name;
        QByteArray content;
    } files[] = {
        {"data_zeros.log", QByteArray(6 << 20, '\0')},
        {"data_noise.log", noise((4 << 20) + 1)},
        {"data_mixed.log", someText(3 << 20, 9) + noise(1 << 20) + someText(3 << 20, 4)},
        {"data_t1.log", someText((2 << 20) + 1, 1)},
        {"data_t2.log", someText((2 << 20) + 2, 2)},
        {"data_t3.log", someText((2 << 20) + 3, 3)},
        {"data_t5.log", someText((2 << 20) + 5, 5)},
        {"data_t6.log", someText((2 << 20) + 7, 6)},
        {"data_t7.log", someText(2 << 20, 7)},
    };
    constexpr int small = 70000;
    {
        ZipArchive zip(6, 3);
        ASSERT_EQ(zip.NewZip(zipPath()), 1);
        for (const auto &file : files) {
            writeFile(QByteArray("logs/") + file.name, file.content);
            ASSERT_EQ(zip.AddFile(path(u"logs/"_s + QLatin1String(file.name)), 0), 1);
        }
        // Copies made in memory go in as files would, in pieces where they are large.
        const QByteArray inMemory = someText((5 << 20) + 11, 8);
        ASSERT_EQ(zip.AddData(path("fmt/diag_big.fmtd.txt"), inMemory), 1);
        ASSERT_EQ(zip.AddData(path("fmt/diag_small.fmtd.txt"), "small"), 1);
        EXPECT_EQ(zip.AddData(path("elsewhere/diag_small.fmtd.txt"), "again"), 0);
        for (int i = 0; i < small; ++i) {
            writeFile(QStringLiteral("many/%1.log").arg(i), QByteArray::number(i));
            ASSERT_EQ(zip.AddFile(path(QStringLiteral("many/%1.log").arg(i)), 0), 1);
        }
        ASSERT_EQ(zip.SaveArchive(), 1) << zip.ErrorText().toStdString();
        EXPECT_EQ(zip.progress().done, zip.progress().total);
    }
    const auto content = readArchive(zipPath());
    ASSERT_TRUE(content);
    EXPECT_EQ(content->size(), size_t(small) + std::size(files) + 2);
    EXPECT_EQ(
        content->at(u"diag_big.fmtd.txt"_s).sha256,
        QCryptographicHash::hash(someText((5 << 20) + 11, 8), QCryptographicHash::Sha256).toHex());
    EXPECT_EQ(content->at(u"diag_small.fmtd.txt"_s).size, 5);
    for (const auto &file : files)
        EXPECT_EQ(content->at(QLatin1String(file.name)).sha256,
                  QCryptographicHash::hash(file.content, QCryptographicHash::Sha256).toHex())
            << file.name;
    EXPECT_EQ(content->at(u"69999.log"_s).sha256,
              QCryptographicHash::hash("69999", QCryptographicHash::Sha256).toHex());
    QProcess unzip;
    unzip.start(u"unzip"_s, {u"-tqq"_s, zipPath()});
    ASSERT_TRUE(unzip.waitForFinished(120000));
    EXPECT_EQ(unzip.exitCode(), 0) << unzip.readAllStandardOutput().toStdString();
}

TEST_F(ZipArchiveTest, AFileRemovedAfterItWasAddedIsArchivedAsItWas)
{
    writeFile("logs/data_1.log", someText(20000, 1));
    const QByteArray digest = fileDigest(path("logs/data_1.log"));
    ZipArchive zip;
    ASSERT_EQ(zip.NewZip(zipPath()), 1);
    ASSERT_EQ(zip.AddFile(path("logs/data_1.log"), 0), 1);
    QFile::remove(path("logs/data_1.log"));
    ASSERT_EQ(zip.SaveArchive(), 1) << zip.ErrorText().toStdString();
    const auto content = readArchive(zipPath());
    ASSERT_TRUE(content);
    EXPECT_EQ(content->at(u"data_1.log"_s).sha256, digest);
}

// A file whose content is not its size when it was added (cut short while it is read, or a
// pseudo-file whose size says nothing) would be a wrong entry: it costs that entry only.
TEST_F(ZipArchiveTest, AFileThatIsNotItsSizeCostsOnlyItself)
{
    const struct {
        QString path;
        const char *reason;
    } pseudo[] = {
        {u"/proc/self/status"_s, "holds more than its size of 0 bytes"}, // size 0, content more
        {u"/sys/devices/system/cpu/online"_s, "cut short while it was read"}, // size 4096
    };
    writeFile("logs/data_1.log", someText(20000, 1));
    {
        ZipArchive zip(6, 2);
        ASSERT_EQ(zip.NewZip(zipPath()), 1);
        ASSERT_EQ(zip.AddFile(path("logs/data_1.log"), 0), 1);
        size_t added = 0;
        for (const auto &file : pseudo) {
            struct stat st;
            if (::stat(nativePath(file.path).constData(), &st) == 0) {
                ASSERT_EQ(zip.AddFile(file.path, 0), 1) << zip.ErrorText().toStdString();
                ++added;
            }
        }
        if (added == 0)
            GTEST_SKIP() << "no pseudo-files here";
        EXPECT_EQ(zip.SaveArchive(), 0);
        ASSERT_EQ(zip.lostFiles().size(), added);
        for (const ZipArchive::LostFile &lost : zip.lostFiles()) {
            const auto row = std::find_if(std::begin(pseudo), std::end(pseudo),
                                          [&](const auto &p) { return p.path == lost.path; });
            ASSERT_NE(row, std::end(pseudo)) << lost.path.toStdString();
            EXPECT_TRUE(lost.reason.contains(QLatin1String(row->reason)))
                << lost.reason.toStdString();
            EXPECT_TRUE(zip.ErrorText().contains(lost.path));
        }
    }
    const auto content = readArchive(zipPath());
    ASSERT_TRUE(content);
    ASSERT_EQ(content->size(), 1u);
    EXPECT_EQ(content->at(u"data_1.log"_s).sha256, fileDigest(path("logs/data_1.log")));
    EXPECT_EQ(leftInZips(), QStringList{u"archive.ZIP"_s});
}

TEST_F(ZipArchiveTest, AGrowingFileGivesWhatItHeldWhenItWasOpened)
{
    const QByteArray start = someText(4 << 20, 5);
    writeFile("logs/data_growing.log", start);
    ZipArchive zip(6, 1);
    ASSERT_EQ(zip.NewZip(zipPath()), 1);
    ASSERT_EQ(zip.AddFile(path("logs/data_growing.log"), 0), 1);

    std::atomic<bool> stop{false};
    std::thread writer([&] {
        QFile file(path("logs/data_growing.log"));
        if (!file.open(QIODevice::Append))
            return;
        while (!stop) {
            file.write("appended while the archive is written\r\n");
            file.flush();
        }
    });
    const int status = zip.SaveArchive();
    stop = true;
    writer.join();
    ASSERT_EQ(status, 1) << zip.ErrorText().toStdString();

    const auto content = readArchive(zipPath());
    ASSERT_TRUE(content);
    const ArchiveEntry entry = content->at(u"data_growing.log"_s);
    QFile grown(path("logs/data_growing.log"));
    ASSERT_TRUE(grown.open(QIODevice::ReadOnly));
    const QByteArray prefix = grown.read(entry.size);
    EXPECT_GE(entry.size, start.size());
    EXPECT_EQ(QCryptographicHash::hash(prefix, QCryptographicHash::Sha256).toHex(), entry.sha256);
}

// Files queued behind a slow one wait for the worker without each holding a descriptor: a
// folder of many files must not run a process out of them.
TEST_F(ZipArchiveTest, QueuedFilesHoldFewDescriptors)
{
    QByteArray noise(48 << 20, Qt::Uninitialized);
    std::mt19937 random(3);
    for (char &c : noise)
        c = char(random());
    writeFile("logs/data_slow.log", noise);
    for (int i = 0; i < 300; ++i)
        writeFile(QStringLiteral("logs/data_%1.log").arg(i), someText(100, char(i)));
    const auto open = [] { return QDir(u"/proc/self/fd"_s).count(); };
    const qsizetype before = open();
    ZipArchive zip(6, 1);
    ASSERT_EQ(zip.NewZip(zipPath()), 1);
    ASSERT_EQ(zip.AddFile(path("logs/data_slow.log"), 0), 1);
    qsizetype most = 0;
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(zip.AddFile(path(QStringLiteral("logs/data_%1.log").arg(i)), 0), 1);
        most = std::max(most, open() - before);
    }
    EXPECT_LE(most, 80);
    ASSERT_EQ(zip.SaveArchive(), 1) << zip.ErrorText().toStdString();
}

TEST_F(ZipArchiveTest, AFailedSaveLeavesThePreviousArchive)
{
    writeFile("ZIPS/archive.ZIP", "the previous archive");
    writeFile("logs/data_1.log", someText(1000, 1));
    ZipArchive zip;
    ASSERT_EQ(zip.NewZip(zipPath()), 1);
    // The temporary file's name is taken by a folder: the new archive cannot be written.
    QDir().mkpath(zipPath() + u".tmp/blocker"_s);
    ASSERT_EQ(zip.AddFile(path("logs/data_1.log"), 0), 1);
    EXPECT_EQ(zip.SaveArchive(), 0);
    EXPECT_FALSE(zip.ErrorText().isEmpty());
    EXPECT_EQ(readFile("ZIPS/archive.ZIP"), QByteArray("the previous archive"));
}

} // namespace
