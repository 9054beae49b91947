#include "platform/FileSystem.h"

#include "support/Noise.h"
#include "support/OwnedFile.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>

#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class FileSystemTest : public TempEnvironment {
protected:
    FileSystem fs;
};

// Names are bytes: any name comes back as the same bytes, UTF-8 or not.
TEST_F(FileSystemTest, NamesRoundTripAsTheirBytes)
{
    const struct {
        QByteArray bytes;
        bool utf8;
    } cases[] = {
        {"data_1.log", true},
        {"data_\xc3\xa9\xe2\x82\xac.log", true},     // é€
        {"data_\xf0\x90\x82\x80", true},             // U+10080: its low half is U+DC80
        {"data_\xff\xfe.log", false},                // no UTF-8 at all
        {"data_\xed\xa0\x80", false},                // an encoded surrogate
        {"data_\xc0\xaf", false},                    // overlong
        {"data_\xe2\x82", false},                    // cut short
        {"data_\xf4\x90\x80\x80", false},            // beyond U+10FFFF
        {"data_\xc3\xa9\xdc\x80\xee\x80\x80", true}, // é, U+0700, U+E000
    };
    for (const auto &c : cases) {
        const QString name = decodeNativePath(c.bytes);
        EXPECT_EQ(nativePath(name), c.bytes) << c.bytes.toHex().toStdString();
        EXPECT_EQ(name == QString::fromUtf8(c.bytes), c.utf8) << c.bytes.toHex().toStdString();
    }
    // A path of such a name reaches the file of those bytes. (Listed and archived under them:
    // LogCollectionTest.)
    const QString odd = path(decodeNativePath("data_\xff\xfe.log"));
    fs.CreateTextFile(odd, false, false)->WriteLine(u"odd"_s);
    // Qt's own removal of the temporary folder cannot spell a name that is not UTF-8.
    const auto cleanUp = qScopeGuard([&] { ::unlink(nativePath(odd)); });
    EXPECT_EQ(fs.OpenTextFile(odd)->ReadLine(), u"odd"_s);
    EXPECT_EQ(fs.FileSize(odd), 5);
}

// A file is no folder and a folder no file; what is missing fails with its errno and names its
// path; a FIFO without a writer is refused at once, never waited on (that a link, folder or device
// is not read either: ZipArchiveTest); a listing's files are read through the folder it opened (a
// folder above it swapped for a link changes nothing of what is read: LogCollectionTest), and a
// name turned into a link between the listing and the read is refused.
TEST_F(FileSystemTest, ExistenceAndWhatCannotBeRead)
{
    const HangGuard guard;
    writeFile("a/file.txt", "x");
    const std::tuple<QString, bool, bool> kinds[] = {{path("a"), true, false},
                                                     {path("a/"), true, false},
                                                     {path("a/file.txt"), false, true},
                                                     {path("missing"), false, false},
                                                     {QString(), false, false}};
    for (const auto &[at, folder, file] : kinds)
        EXPECT_EQ(std::pair(fs.FolderExists(at), fs.FileExists(at)), std::pair(folder, file))
            << at.toStdString();
    ASSERT_EQ(::mkfifo(nativePath(path("fifo")).constData(), 0600), 0);
    writeFile("logs/data_1.log", "real\n");
    const Folder listed = fs.GetFolder(path("logs"));
    ASSERT_EQ(listed.Files.Count(), 1);
    QFile::remove(path("logs/data_1.log"));
    QFile::link(path("a/file.txt"), path("logs/data_1.log"));
    const QString missing = path("no/such/folder");
    const std::tuple<std::function<void()>, int, QString> failing[] = {
        {[&] { fs.CreateFolder(missing); }, ENOENT, missing},
        {[&] { fs.GetFolder(missing); }, ENOENT, missing},
        {[&] { fs.DeleteFile(missing, true); }, ENOENT, missing},
        {[&] { fs.OpenTextFile(missing); }, ENOENT, missing},
        {[&] { fs.CopyFile(missing, path("copy"), true); }, ENOENT, missing},
        {[&] { fs.OpenTextFile(path("a")); }, 0, path("a")}, // a folder is no text file
        {[&] { fs.OpenTextFile(path("fifo")); }, 0, path("fifo")},
        {[&] { openRegularFile(*listed.Files.begin()); }, 0, path("logs/data_1.log")},
        // Only a regular file is moved: not a link, a folder, nor a FIFO (not waited on).
        {[&] { fs.MoveFile(path("logs/data_1.log"), path("moved")); }, ELOOP, u"data_1.log"_s},
        {[&] { fs.MoveFile(path("a"), path("moved")); }, 0, path("a")},
        {[&] { fs.MoveFile(path("fifo"), path("moved")); }, 0, path("fifo")}};
    for (const auto &[fail, number, named] : failing) {
        const auto e = failureOf<FileSystemError>(fail);
        EXPECT_TRUE(e && (number == 0 || e->number() == number) && e->description().contains(named))
            << (e ? e->description().toStdString() : "no failure");
    }
    EXPECT_FALSE(QFileInfo::exists(path("moved")));
}

// A large folder is looked at a block of 4,096 entries at a time, on two threads while the next is
// read: every entry of every block, at the block's size and either side, is seen as it is, what is
// no regular file set apart.
TEST_F(FileSystemTest, ALargeFolderIsListedBlockByBlock)
{
    writeFile("logs/sub/data_hidden.log", "3");
    ASSERT_EQ(::mkfifo(QFile::encodeName(path("logs/data_fifo")).constData(), 0600), 0);
    ASSERT_EQ(::symlink("nowhere", QFile::encodeName(path("logs/data_dangling")).constData()), 0);
    qsizetype made = 3;
    for (const qsizetype entries : {4095, 4096, 4097, 8193}) {
        for (; made < entries; ++made)
            writeFile(u"logs/f%1"_s.arg(made), QByteArray(made % 7, 'x'));
        const Folder large = fs.GetFolder(path("logs"));
        ASSERT_EQ(large.Files.Count(), entries - 3);
        EXPECT_EQ(std::set<QString>(large.Skipped.begin(), large.Skipped.end()),
                  (std::set<QString>{path("logs/sub"), path("logs/data_fifo"),
                                     path("logs/data_dangling")}));
        for (const File &file : large.Files) {
            EXPECT_EQ(file.Path(), path("logs/") + file.Name());
            EXPECT_EQ(file.Size(), file.Name().mid(1).toInt() % 7) << file.Name().toStdString();
        }
        EXPECT_LE(
            std::abs(large.Files.begin()->DateLastModified().secsTo(QDateTime::currentDateTime())),
            60);
    }
    // A caller's count that throws part-way leaves no folder open behind it.
    const auto openFiles = [] { return QDir(u"/proc/self/fd"_s).count(); };
    const auto before = openFiles();
    EXPECT_THROW(fs.GetFolder(path("logs"), [](qsizetype) { throw std::runtime_error("stop"); }),
                 std::runtime_error);
    EXPECT_EQ(openFiles(), before);
}

} // namespace

// Whatever stands where a file of ours is made is never written into nor waited on: a link, FIFO,
// device or folder refuses the file; a file someone else may hold open gives way to a new one.
// Under umask 000 too, the new file is its owner's alone.
TEST_F(FileSystemTest, WhatStandsWhereAFileIsMadeIsNeverWrittenInto)
{
    const HangGuard guard;
    const mode_t saved = ::umask(0);
    const auto restore = qScopeGuard([&] { ::umask(saved); });
    const struct {
        const char *what;
        Planted kind;
        bool refused; // false: a new file of ours takes the name
        uid_t owner = ::geteuid();
    } planted[] = {
        {"a link to a file", Planted::Link, true},
        {"a dangling link", Planted::DanglingLink, true},
        {"a FIFO", Planted::Fifo, true},
        {"a device", Planted::Device, true},
        {"a folder", Planted::Folder, true},
        {"a second name of another file", Planted::SecondName, false},
        {"a file of another account", Planted::File, false, nobodyAccount},
        {"a file of ours that others may read", Planted::File, false},
    };
    for (const auto &p : planted) {
        if ((p.kind == Planted::Device || p.owner != ::geteuid()) && ::geteuid() != 0)
            continue;
        for (bool overwrite : {true, false}) {
            writeFile("target", "kept");
            const QString at = path("made.txt");
            plantAt(p.kind, at, path("target"), p.owner);
            // Whoever put it there keeps it open, to read what is written into it.
            const int theirs = ::open(nativePath(at).constData(), O_RDONLY | O_NONBLOCK);
            try {
                auto stream = fs.CreateTextFile(at, overwrite, false);
                stream->WriteLine(u"secret"_s);
                stream->Close();
                EXPECT_FALSE(p.refused) << p.what << " was written";
                EXPECT_TRUE(overwrite) << p.what << " overwritten without leave";
                EXPECT_EQ(readFile("made.txt"), QByteArray("secret\r\n")) << p.what;
                EXPECT_EQ(modeOf(at), 0600u) << p.what;
            } catch (const FileSystemError &) {
                EXPECT_TRUE(p.refused || !overwrite) << p.what << " refused";
            }
            if (theirs >= 0) {
                char bytes[64];
                const ssize_t n = ::pread(theirs, bytes, sizeof bytes, 0);
                EXPECT_FALSE(n > 0 && QByteArray(bytes, n).contains("secret")) << p.what;
                ::close(theirs);
            }
            EXPECT_EQ(readFile("target"), QByteArray("kept")) << p.what;
            QFile::remove(at);
            QDir(at).removeRecursively();
        }
    }
}

// A copy keeps every byte, never replaces a file without leave nor is made through a link, gets
// the mode chosen for it whatever the umask, and fails on a full device.
TEST_F(FileSystemTest, CopyKeepsEveryByteHasTheDeliveredModeAndFollowsNoLink)
{
    const QByteArray content = noise(3 * 1024 * 1024 + 17, 7);
    writeFile("source.bin", content);
    writeFile("target", "kept");
    QFile::link(path("target"), path("link.bin"));
    EXPECT_THROW(fs.CopyFile(path("source.bin"), path("target"), false), FileSystemError);
    EXPECT_THROW(fs.CopyFile(path("source.bin"), path("link.bin"), true), FileSystemError);
    EXPECT_EQ(readFile("target"), QByteArray("kept"));
    for (mode_t mask : {mode_t(0), mode_t(077)}) {
        QFile::remove(path("copy.bin"));
        const mode_t saved = ::umask(mask);
        fs.CopyFile(path("source.bin"), path("copy.bin"), false);
        ::umask(saved);
        EXPECT_EQ(modeOf(path("copy.bin")), mode_t(deliveredMode)) << "umask " << mask;
    }
    fs.CopyFile(path("source.bin"), path("target"), true);
    EXPECT_EQ(readFile("target"), content);
    EXPECT_THROW(fs.CopyFile(path("source.bin"), u"/dev/full"_s, true), FileSystemError);
}
