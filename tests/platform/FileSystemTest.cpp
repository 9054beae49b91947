#include "platform/FileSystem.h"

#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>

#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class FileSystemTest : public TempEnvironment {
protected:
    FileSystem fs;
};

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

    const Folder folder = fs.GetFolder(path("logs"));
    std::set<QString> names;
    for (const File &file : folder.Files) {
        names.insert(file.Name());
        EXPECT_EQ(file.Path(), path("logs/") + file.Name());
        EXPECT_LE(std::abs(file.DateLastModified().secsTo(QDateTime::currentDateTime())), 60);
    }
    EXPECT_EQ(names, (std::set<QString>{u"data_1.log"_s, u"diag_1.log"_s}));
    EXPECT_EQ(folder.Files.Count(), 2);
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
