#include "platform/FileSystem.h"

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

mode_t modeOf(const QString &path)
{
    struct stat st;
    return ::lstat(nativePath(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Names are bytes: whatever a folder lists comes back as the same bytes, UTF-8 or not.
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

    const QString odd = path("logs/") + decodeNativePath("data_\xff\xfe.log");
    QDir().mkpath(path("logs"));
    fs.CreateTextFile(odd, false, false)->WriteLine(u"odd"_s);
    // Qt's own removal of the temporary folder cannot spell a name that is not UTF-8.
    const auto cleanUp = qScopeGuard([&] { ::unlink(nativePath(odd)); });
    const Folder folder = fs.GetFolder(path("logs"));
    ASSERT_EQ(folder.Files.Count(), 1);
    EXPECT_EQ(folder.Files.begin()->Path(), odd);
    EXPECT_EQ(fs.OpenTextFile(odd)->ReadLine(), u"odd"_s);
    EXPECT_EQ(fs.FileSize(odd), 5);
}

// What the program writes from the served product's logs is its owner's alone, whatever the
// umask and whatever mode an overwritten file had.
TEST_F(FileSystemTest, WrittenFilesAreTheOwnersOnly)
{
    writeFile("old.txt", "x");
    ASSERT_EQ(::chmod(nativePath(path("old.txt")).constData(), 0644), 0);
    const mode_t saved = ::umask(0);
    fs.CreateTextFile(path("new.txt"), false, true)->Close();
    fs.CreateTextFile(path("old.txt"), true, false)->Close();
    ::umask(saved);
    EXPECT_EQ(modeOf(path("new.txt")), 0600u);
    EXPECT_EQ(modeOf(path("old.txt")), 0600u);
}

// Only a regular file is read, and at once: a link is not followed, and a FIFO without a writer
// or a device is refused without waiting on it.
TEST_F(FileSystemTest, OnlyRegularFilesAreOpenedForReading)
{
    writeFile("logs/real.log", "real\n");
    QDir().mkpath(path("logs/folder"));
    ASSERT_EQ(::symlink(nativePath(path("logs/real.log")).constData(),
                        nativePath(path("logs/link")).constData()),
              0);
    ASSERT_EQ(::mkfifo(nativePath(path("logs/fifo")).constData(), 0600), 0);
    const HangGuard guard;
    for (const QString &refused :
         {path("logs/link"), path("logs/fifo"), path("logs/folder"), u"/dev/null"_s}) {
        try {
            fs.OpenTextFile(refused);
            ADD_FAILURE() << "read " << refused.toStdString();
        } catch (const FileSystemError &e) {
            EXPECT_TRUE(e.description().startsWith(u"Cannot read"_s) &&
                        e.description().contains(refused))
                << e.description().toStdString();
        }
    }
    EXPECT_EQ(fs.OpenTextFile(path("logs/real.log"))->ReadLine(), u"real"_s);
}

TEST_F(FileSystemTest, ExistenceTellsFilesFromFolders)
{
    writeFile("a/file.txt", "x");
    EXPECT_TRUE(fs.FolderExists(path("a")));
    EXPECT_TRUE(fs.FolderExists(path("a/")));
    EXPECT_FALSE(fs.FolderExists(path("a/file.txt")));
    EXPECT_TRUE(fs.FileExists(path("a/file.txt")));
    EXPECT_FALSE(fs.FileExists(path("a")));
    EXPECT_FALSE(fs.FileExists(path("missing")));
    EXPECT_FALSE(fs.FolderExists(QString()));
    EXPECT_FALSE(fs.FileExists(QString()));
}

TEST_F(FileSystemTest, FailuresCarryErrnoAndNameThePath)
{
    const QString missing = path("no/such/folder");
    try {
        fs.CreateFolder(missing);
        FAIL() << "created a folder without its parent";
    } catch (const FileSystemError &e) {
        EXPECT_EQ(e.number(), ENOENT);
        EXPECT_TRUE(e.description().contains(missing)) << e.description().toStdString();
    }
    EXPECT_THROW(fs.GetFolder(missing), FileSystemError);
    EXPECT_THROW(fs.DeleteFile(missing, true), FileSystemError);
    EXPECT_THROW(fs.OpenTextFile(missing), FileSystemError);
    EXPECT_THROW(fs.OpenTextFile(path(QString())), FileSystemError); // a folder is no text file
    EXPECT_THROW(fs.CopyFile(missing, path("copy"), true), FileSystemError);
}

TEST_F(FileSystemTest, FolderListsOnlyItsOwnRegularFiles)
{
    writeFile("logs/data_1.log", "1");
    writeFile("logs/diag_1.log", "22");
    writeFile("logs/sub/data_hidden.log", "3");
    ASSERT_EQ(::mkfifo(QFile::encodeName(path("logs/data_fifo")).constData(), 0600), 0);
    ASSERT_EQ(::symlink("nowhere", QFile::encodeName(path("logs/data_dangling")).constData()), 0);
    ASSERT_EQ(::symlink("data_1.log", QFile::encodeName(path("logs/data_link")).constData()), 0);

    const Folder folder = fs.GetFolder(path("logs"));
    std::set<QString> names;
    for (const File &file : folder.Files) {
        names.insert(file.Name());
        EXPECT_EQ(file.Path(), path("logs/") + file.Name());
        EXPECT_LE(std::abs(file.DateLastModified().secsTo(QDateTime::currentDateTime())), 60);
    }
    EXPECT_EQ(names, (std::set<QString>{u"data_1.log"_s, u"diag_1.log"_s}));
    EXPECT_EQ(folder.Files.Count(), 2);
    EXPECT_EQ(std::set<QString>(folder.Skipped.begin(), folder.Skipped.end()),
              (std::set<QString>{path("logs/sub"), path("logs/data_fifo"),
                                 path("logs/data_dangling"), path("logs/data_link")}))
        << "a link is listed as what it is, never as the file it leads to";
}

TEST_F(FileSystemTest, DeleteRemovesReadOnlyFilesWhenForced)
{
    writeFile("ro.txt", "x");
    const QString ro = path("ro.txt");
    ASSERT_TRUE(QFile::setPermissions(ro, QFile::ReadOwner));
    EXPECT_THROW(fs.DeleteFile(ro, false), FileSystemError);
    fs.DeleteFile(ro, true);
    EXPECT_FALSE(QFile::exists(ro));

    writeFile("listed.txt", "x");
    for (const File &file : fs.GetFolder(path(QString())).Files)
        const_cast<File &>(file).Delete(true);
    EXPECT_FALSE(QFile::exists(path("listed.txt")));
}

TEST_F(FileSystemTest, CopyKeepsEveryByteAndHonoursOverwrite)
{
    QByteArray content;
    for (int i = 0; i < 3 * 1024 * 1024 + 17; ++i)
        content.append(char(i * 7));
    writeFile("source.bin", content);
    writeFile("target.bin", "old");
    EXPECT_THROW(fs.CopyFile(path("source.bin"), path("target.bin"), false), FileSystemError);
    EXPECT_EQ(readFile("target.bin"), QByteArray("old"));
    fs.CopyFile(path("source.bin"), path("target.bin"), true);
    EXPECT_EQ(readFile("target.bin"), content);
}

TEST_F(FileSystemTest, CopyToAFullDeviceFails)
{
    if (!QFile::exists(u"/dev/full"_s))
        GTEST_SKIP() << "no /dev/full";
    writeFile("source.bin", QByteArray(100000, 'x'));
    EXPECT_THROW(fs.CopyFile(path("source.bin"), u"/dev/full"_s, true), FileSystemError);
}

} // namespace
