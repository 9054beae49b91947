#include "archive/ZipArchive.h"

#include "archive/Deflate.h"
#include "archive/ZipWriter.h"
#include "archive/obfuscation/RunCleaning.h"
#include "platform/FileSystem.h"
#include "support/ArchiveReader.h"
#include "support/Noise.h"
#include "support/TestEnvironment.h"
#include "support/WorkerGate.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <atomic>
#include <fcntl.h>
#include <random>
#include <stdexcept>
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
};

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
    // Its name taken over while it is written (another run in the same folder): what is there is
    // not put in place, nor removed.
    // Two workers: one alone would take the gate in a batch with the first entry.
    ZipArchive zip(6, 2);
    ASSERT_EQ(zip.NewZip(path("ZIPS/other.ZIP")), 1);
    ASSERT_EQ(zip.AddFile(path("data_1.log"), 0), 1);
    const GateOpenedAtEnd held;
    ASSERT_EQ(zip.AddData(path("data_gate.log"), "gate\n", {{}, held.gate}), 1);
    // Taken once the first entry is written, with the second still to come.
    zip.setWaiting([&] {
        if (zip.progress().done == 6 && QFile::remove(path("ZIPS/other.ZIP.tmp"))) {
            writeFile("ZIPS/other.ZIP.tmp", "theirs");
            held.gate->open();
        }
    });
    EXPECT_EQ(zip.SaveArchive(), 0);
    EXPECT_TRUE(zip.ErrorText().contains(u"another file took its place"_s));
    EXPECT_EQ(readFile("ZIPS/other.ZIP.tmp"), QByteArray("theirs"));
    EXPECT_FALSE(QFile::exists(path("ZIPS/other.ZIP")));
    QFile::remove(path("ZIPS/other.ZIP.tmp"));
    // The new archive not written, its temporary's name taken by a folder or the file cut off by
    // a file size limit: the previous archive stays, and nothing of the new one is left.
    writeFile("ZIPS/archive.ZIP", "the previous archive");
    for (const bool blocked : {true, false}) {
        QDir(temporary).removeRecursively();
        if (blocked)
            QDir().mkpath(temporary + u"/blocker"_s);
        ZipArchive zip;
        ASSERT_EQ(zip.NewZip(zipPath()), 1);
        ASSERT_EQ(zip.AddFile(path("data_1.log"), 0), 1);
        int status = -1;
        const auto save = [&] { status = zip.SaveArchive(); };
        blocked ? save() : underFileSizeLimit(10, save);
        EXPECT_EQ(status, 0) << blocked;
        EXPECT_FALSE(zip.ErrorText().isEmpty());
        EXPECT_EQ(readFile("ZIPS/archive.ZIP"), QByteArray("the previous archive"));
        EXPECT_EQ(QDir(path("ZIPS")).entryList(QDir::Files | QDir::Hidden),
                  QStringList{u"archive.ZIP"_s});
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

    // An add that fails on the way (a name past the format's 65,535 bytes) leaves no place
    // behind that no entry fills: the save after it ends.
    EXPECT_THROW(zip.AddData(path("a"), "x", {QString(70000, u'n'), nullptr}), std::length_error);
    ASSERT_EQ(zip.AddFile(path("secret.txt"), 0), 1);
    ASSERT_EQ(zip.SaveArchive(), 1);
    EXPECT_EQ(zip.entries(), 1u);
    writeFile("data_after.log", "after");
    EXPECT_EQ(zip.AddFile(path("data_after.log"), 0), 0) << "a saved archive is complete";
    EXPECT_TRUE(zip.ErrorText().contains(u"complete"_s));

    // Cut to nothing and written again past its old end between the listing and the adding:
    // beyond its first block a hole tells, within it its zeros.
    for (const qint64 size : {8192, 3000}) {
        writeFile("listed/data_rotated.log", QByteArray(size, 'r'));
        FileSystem fs;
        const Folder listed = fs.GetFolder(path("listed"));
        QFile rotated(path("listed/data_rotated.log"));
        ASSERT_TRUE(rotated.resize(0) && rotated.open(QIODevice::ReadWrite) && rotated.seek(size) &&
                    rotated.write("next\n") == 5 && rotated.flush());
        ZipArchive again;
        ASSERT_EQ(again.NewZip(path("ZIPS/again.ZIP")), 1);
        ASSERT_EQ(again.AddFile(*listed.Files.begin(), 0), 1);
        EXPECT_EQ(again.SaveArchive(), 0) << size;
        EXPECT_TRUE(again.ErrorText().contains(u"cut short and written again"_s));
        EXPECT_THROW(RunCleaning::contentOf(*listed.Files.begin()), FileSystemError);
    }
}

// A file is deflated whole by one worker, or in pieces that several share and that must join
// into one stream: every size at the piece size, the whole-file limit and twice that (where the
// pieces of a large file become three) and one either side, alone among three workers (cut where
// it may be) and on one worker (never cut where it need not be), from files and from memory.
TEST_F(ZipArchiveTest, EverySizeAroundThePiecesJoinsIntoOneEntry)
{
    constexpr qsizetype piece = 2 << 20, wholeLimit = 4 << 20;
    std::vector<qsizetype> sizes{0, 1};
    for (const qsizetype edge : {piece, wholeLimit, 2 * wholeLimit})
        for (const qsizetype step : {-1, 0, 1})
            sizes.push_back(edge + step);
    std::mt19937 random(7);
    QByteArray content = logText(sizes.back(), 9);
    // Noise here and there varies the bits each piece's last byte leaves unused.
    for (qsizetype at = piece / 2; at < content.size(); at += piece / 3)
        for (qsizetype i = 0; i < 5000 && at + i < content.size(); ++i)
            content[at + i] = char(random());
    {
        ZipArchive oneWorker(6, 1);
        ASSERT_EQ(oneWorker.NewZip(path("ZIPS/whole.ZIP")), 1);
        for (const qsizetype size : sizes) {
            const QString name = QStringLiteral("data_%1.log").arg(size);
            writeFile("logs/" + name, content.left(size));
            ZipArchive alone(6, 3);
            ASSERT_EQ(alone.NewZip(path("ZIPS/") + name + u".ZIP"_s), 1);
            ASSERT_EQ(alone.AddFile(path("logs/") + name, 0), 1);
            ASSERT_EQ(alone.SaveArchive(), 1) << alone.ErrorText().toStdString();
            ASSERT_EQ(oneWorker.AddData(path("fmt/") + name, content.left(size)), 1);
        }
        // A line repeated over megabytes: the pieces after its first go to the other compressor.
        ASSERT_EQ(oneWorker.AddData(path("repeated.log"), QByteArray(3 * wholeLimit, 'x')), 1);
        // Each entry keeps the level it was added at.
        for (const int level : {1, 12}) {
            oneWorker.setCompressionLevel(level);
            ASSERT_EQ(oneWorker.AddData(path("level%1.log").arg(level), logText(300000, 7)), 1);
        }
        ASSERT_EQ(oneWorker.SaveArchive(), 1) << oneWorker.ErrorText().toStdString();
        EXPECT_EQ(oneWorker.progress().done, oneWorker.progress().total);
    }
    const auto whole = readArchive(path("ZIPS/whole.ZIP"));
    ASSERT_TRUE(whole);
    ASSERT_EQ(whole->size(), sizes.size() + 3);
    EXPECT_EQ(whole->at(u"repeated.log"_s).sha256,
              QCryptographicHash::hash(QByteArray(3 * wholeLimit, 'x'), QCryptographicHash::Sha256)
                  .toHex());
    EXPECT_GT(whole->at(u"level1.log"_s).compressedSize,
              whole->at(u"level12.log"_s).compressedSize + 1000);
    for (const qsizetype size : sizes) {
        const QString name = QStringLiteral("data_%1.log").arg(size);
        const QByteArray digest =
            QCryptographicHash::hash(content.left(size), QCryptographicHash::Sha256).toHex();
        const auto alone = readArchive(path("ZIPS/") + name + u".ZIP"_s);
        ASSERT_TRUE(alone) << size;
        EXPECT_EQ(alone->at(name).sha256, digest) << size;
        EXPECT_EQ(whole->at(name).sha256, digest) << size;
        EXPECT_EQ(whole->at(name).method, size ? 8 : 0) << size;
    }
}

// The end record counts entries in 16 bits, 0xFFFF meaning "see the ZIP64 record": 65,535
// entries and more need it, 65,534 do not (the strict check holds the archive to that, and
// refuses a count that wraps). The names, of 126 bytes, fill the blocks the archive keeps them in
// to the byte, 1,024 to a block.
TEST_F(ZipArchiveTest, EntryCountsAroundTheEndRecordsLimitTakeZip64ExactlyWhenNeeded)
{
    const auto name = [](int i) { return QStringLiteral("%1.log").arg(i, 122, 10, QChar(u'0')); };
    for (const int count : {65534, 65535, 65536}) {
        const QString archive = path("ZIPS/%1.ZIP").arg(count);
        {
            ZipArchive zip(6, 2);
            ASSERT_EQ(zip.NewZip(archive), 1);
            for (int i = 0; i < count; ++i)
                ASSERT_EQ(zip.AddData(path("fmt/") + name(i), i % 1000 ? QByteArray() : "x"), 1);
            for (const int again : {0, 1023, 1024, count - 1})
                EXPECT_EQ(zip.AddData(path("again/") + name(again), "y"), 0) << again;
            ASSERT_EQ(zip.SaveArchive(), 1) << zip.ErrorText().toStdString();
        }
        const auto headers = readHeaders(archive);
        ASSERT_TRUE(headers) << count;
        EXPECT_EQ(headers->entries.size(), size_t(count));
        EXPECT_EQ(headers->entries.at(name(65000)).size, 1u);
        // The data too, and 7-Zip's view, at the boundary itself.
        if (count == 65535) {
            const auto content = readArchive(archive);
            ASSERT_TRUE(content);
            EXPECT_EQ(content->size(), size_t(count));
        }
    }
}

// Sizes and offsets at 4 GiB and either side, where the headers' 32-bit fields give out, and the
// size from which the local header makes room for ZIP64 before the data is known. The entries
// are written by the writer itself; the 4 GiB before an offset is a hole in a sparse file, not
// 4 GiB written, and a size is only declared (its data is a few bytes: headers are what is read).
TEST_F(ZipArchiveTest, SizesAndOffsetsAround4GiBTakeZip64ExactlyWhenNeeded)
{
    constexpr quint64 limit = 0xFFFFFFFFu, roomFrom = 0xF0000000u;
    const QByteArray text = logText(3000, 5);
    std::atomic<bool> repetitive{false};
    const Deflater::Result deflated =
        Deflater().compress(text.constData(), size_t(text.size()), 6, true, repetitive);
    const QByteArray data(deflated.data.data(), qsizetype(deflated.length));
    const quint32 crc = crc32Of(0, text.constData(), size_t(text.size()));
    // What the one entry takes before the directory: its local header, name, time field, data.
    const quint64 entryLength = 30 + 8 + 9 + quint64(data.size());
    // Declared sizes (the text's own when 0) and holes before the entry at every edge and one
    // either side: where the local header makes room for ZIP64, where the fields give out, and an
    // entry or the directory starting there. The strict check says when ZIP64 end records are due.
    std::vector<std::pair<quint64, quint64>> rows;
    for (const quint64 step : {quint64(-1), quint64(0), quint64(1)}) {
        for (const quint64 size : {roomFrom, limit})
            rows.emplace_back(size + step, 0);
        rows.emplace_back(0, limit + step);
        rows.emplace_back(0, limit + step - entryLength);
    }
    for (const auto &[size, prefix] : rows) {
        const std::string what = "size " + std::to_string(size) + " at " + std::to_string(prefix);
        const QString archive = path("ZIPS/big.ZIP");
        QFile::remove(archive);
        ZipWriter writer;
        ASSERT_TRUE(writer.open(archive, prefix)) << writer.failure().toStdString();
        ZipWriter::Entry entry;
        entry.name = "data.log";
        entry.modified = 1796371200;
        entry.size = size ? size : quint64(text.size());
        writer.beginEntry(entry);
        writer.write(data.constData(), size_t(data.size()));
        writer.finishEntry(crc, quint64(data.size()));
        ASSERT_TRUE(writer.finish()) << what << ": " << writer.failure().toStdString();
        const auto headers = readHeaders(archive, prefix);
        ASSERT_TRUE(headers) << what;
        EXPECT_TRUE(headers->summary.contains(
            u" at %1,"_s.arg(prefix + entryLength + (size >= roomFrom ? 20 : 0))))
            << what << ": " << headers->summary.toStdString();
        EXPECT_EQ(headers->entries.at(u"data.log"_s),
                  (EntryHeader{entry.size, quint64(data.size()), prefix}))
            << what;
        if (size == 0 && prefix == limit) {
            const auto content = readArchive(archive, prefix);
            ASSERT_TRUE(content) << what;
            EXPECT_EQ(content->at(u"data.log"_s).sha256,
                      QCryptographicHash::hash(text, QCryptographicHash::Sha256).toHex());
        }
    }
}

// A file removed once it is added is archived as it was; one that grows, with at least what it
// held when it was added, and exactly what it then held at the start of the entry.
TEST_F(ZipArchiveTest, AFileChangedAfterItWasAddedGivesWhatItHeld)
{
    const QByteArray start = logText(4 << 20, 5);
    writeFile("logs/data_growing.log", start);
    writeFile("logs/data_removed.log", logText(20000, 1));
    const QByteArray removed = fileDigest(path("logs/data_removed.log"));
    ZipArchive zip(6, 1);
    ASSERT_EQ(zip.NewZip(zipPath()), 1);
    ASSERT_EQ(zip.AddFile(path("logs/data_removed.log"), 0), 1);
    ASSERT_EQ(zip.AddFile(path("logs/data_growing.log"), 0), 1);
    QFile::remove(path("logs/data_removed.log"));

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
    EXPECT_EQ(content->at(u"data_removed.log"_s).sha256, removed);
    const ArchiveEntry entry = content->at(u"data_growing.log"_s);
    QFile grown(path("logs/data_growing.log"));
    ASSERT_TRUE(grown.open(QIODevice::ReadOnly));
    const QByteArray prefix = grown.read(entry.size);
    EXPECT_GE(entry.size, start.size());
    EXPECT_EQ(QCryptographicHash::hash(prefix, QCryptographicHash::Sha256).toHex(), entry.sha256);
}

// What is to be said of a file before it is read may wait for the hand-over: no file is read
// before the call that comes after it was added. Each call rewrites, in place, the files added
// since the one before it; a file read before that would go in as it was added.
TEST_F(ZipArchiveTest, NoFileIsReadBeforeItsHandOverIsCalled)
{
    ZipArchive zip(6, 2);
    ASSERT_EQ(zip.NewZip(zipPath()), 1);
    const auto name = [](int i) { return u"logs/data_%1.log"_s.arg(i); };
    int told = 0;
    int added = 0;
    zip.setHandingOver([&] {
        for (; told < added; ++told)
            writeFile(name(told), "told  ");
    });
    // Behind a big file the first small ones are read as they are added.
    writeFile("logs/big.log", noise(4 << 20, 7));
    ASSERT_EQ(zip.AddFile(path("logs/big.log"), 0), 1);
    while (added < 100) {
        writeFile(name(added), "untold");
        ++added;
        ASSERT_EQ(zip.AddFile(path(name(added - 1)), 0), 1);
    }
    ASSERT_EQ(zip.SaveArchive(), 1) << zip.ErrorText().toStdString();
    const auto content = readArchive(zipPath());
    ASSERT_TRUE(content);
    ASSERT_EQ(content->size(), 101u);
    for (const auto &[entry, read] : *content)
        EXPECT_EQ(read.sha256,
                  entry == u"big.log"_s
                      ? fileDigest(path("logs/big.log"))
                      : QCryptographicHash::hash("told  ", QCryptographicHash::Sha256).toHex())
            << entry.toStdString();
}

} // namespace
