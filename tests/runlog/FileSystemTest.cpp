#include "runlog/FileSystem.h"

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
    writeFile(QStringLiteral("a/file.txt"), "x");
    EXPECT_TRUE(fs.FolderExists(path(QStringLiteral("a"))));
    EXPECT_TRUE(fs.FolderExists(path(QStringLiteral("a/"))));
    EXPECT_FALSE(fs.FolderExists(path(QStringLiteral("a/file.txt"))));
    EXPECT_TRUE(fs.FileExists(path(QStringLiteral("a/file.txt"))));
    EXPECT_FALSE(fs.FileExists(path(QStringLiteral("a"))));
    EXPECT_FALSE(fs.FileExists(path(QStringLiteral("missing"))));
    EXPECT_FALSE(fs.FolderExists(QString()));
    EXPECT_FALSE(fs.FileExists(QString()));
}

TEST_F(FileSystemTest, FailuresCarryErrnoAndNameThePath)
{
    const QString missing = path(QStringLiteral("no/such/folder"));
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
    EXPECT_THROW(fs.CopyFile(missing, path(QStringLiteral("copy")), true), FileSystemError);
}

TEST_F(FileSystemTest, FolderListsOnlyItsOwnRegularFiles)
{
    writeFile(QStringLiteral("logs/data_1.log"), "1");
    writeFile(QStringLiteral("logs/diag_1.log"), "22");
    writeFile(QStringLiteral("logs/sub/data_hidden.log"), "3");
    ASSERT_EQ(::mkfifo(QFile::encodeName(path(QStringLiteral("logs/data_fifo"))).constData(), 0600),
              0);
    ASSERT_EQ(::symlink("nowhere",
                        QFile::encodeName(path(QStringLiteral("logs/data_dangling"))).constData()),
              0);

    const Folder folder = fs.GetFolder(path(QStringLiteral("logs")));
    std::set<QString> names;
    for (const File &file : folder.Files) {
        names.insert(file.Name());
        EXPECT_EQ(file.Path(), path(QStringLiteral("logs/")) + file.Name());
        EXPECT_LE(std::abs(file.DateLastModified().secsTo(QDateTime::currentDateTime())), 60);
    }
    EXPECT_EQ(names,
              (std::set<QString>{QStringLiteral("data_1.log"), QStringLiteral("diag_1.log")}));
    EXPECT_EQ(folder.Files.Count(), 2);
}

TEST_F(FileSystemTest, DeleteRemovesReadOnlyFilesWhenForced)
{
    writeFile(QStringLiteral("ro.txt"), "x");
    const QString ro = path(QStringLiteral("ro.txt"));
    ASSERT_TRUE(QFile::setPermissions(ro, QFile::ReadOwner));
    EXPECT_THROW(fs.DeleteFile(ro, false), FileSystemError);
    fs.DeleteFile(ro, true);
    EXPECT_FALSE(QFile::exists(ro));

    writeFile(QStringLiteral("listed.txt"), "x");
    for (const File &file : fs.GetFolder(path(QString())).Files)
        const_cast<File &>(file).Delete(true);
    EXPECT_FALSE(QFile::exists(path(QStringLiteral("listed.txt"))));
}

TEST_F(FileSystemTest, FileNameIsTheLastComponent)
{
    EXPECT_EQ(fs.GetFileName(QStringLiteral("/var/log/orvel/diag_1.log")),
              QStringLiteral("diag_1.log"));
    EXPECT_EQ(fs.GetFileName(QStringLiteral("/var/log/orvel/")), QStringLiteral("orvel"));
    EXPECT_EQ(fs.GetFileName(QStringLiteral("plain")), QStringLiteral("plain"));
    EXPECT_EQ(fs.GetFileName(QStringLiteral("/")), QString());
}

TEST_F(FileSystemTest, CopyKeepsEveryByteAndHonoursOverwrite)
{
    QByteArray content;
    for (int i = 0; i < 3 * 1024 * 1024 + 17; ++i)
        content.append(char(i * 7));
    writeFile(QStringLiteral("source.bin"), content);
    writeFile(QStringLiteral("target.bin"), "old");
    EXPECT_THROW(
        fs.CopyFile(path(QStringLiteral("source.bin")), path(QStringLiteral("target.bin")), false),
        FileSystemError);
    EXPECT_EQ(readFile(QStringLiteral("target.bin")), QByteArray("old"));
    fs.CopyFile(path(QStringLiteral("source.bin")), path(QStringLiteral("target.bin")), true);
    EXPECT_EQ(readFile(QStringLiteral("target.bin")), content);
}

TEST_F(FileSystemTest, CopyToAFullDeviceFails)
{
    if (!QFile::exists(QStringLiteral("/dev/full")))
        GTEST_SKIP() << "no /dev/full";
    writeFile(QStringLiteral("source.bin"), QByteArray(100000, 'x'));
    EXPECT_THROW(fs.CopyFile(path(QStringLiteral("source.bin")), QStringLiteral("/dev/full"), true),
                 FileSystemError);
}

TEST_F(FileSystemTest, CreateFolderAndRefuseAnExistingOne)
{
    const QString folder = path(QStringLiteral("new"));
    fs.CreateFolder(folder);
    EXPECT_TRUE(QFileInfo(folder).isDir());
    EXPECT_THROW(fs.CreateFolder(folder), FileSystemError);
}

} // namespace
