#include "runlog/FolderUtilities.h"

#include "support/FaultyFileSystem.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using FolderUtilitiesTest = TempEnvironment;

// Planted links and FIFOs go too, themselves: what a link points to stays, a FIFO is not opened.
// A file that will not go stays, and the emptying goes on past it.
TEST_F(FolderUtilitiesTest, EmptyingKeepsSubfoldersAndTheFolder)
{
    writeFile("work/a.txt", "a");
    writeFile("work/b.zip", "b");
    writeFile("work/sub/kept.txt", "kept");
    writeFile("target.txt", "target");
    QFile::setPermissions(path("work/a.txt"), QFile::ReadOwner);
    ASSERT_TRUE(QFile::link(path("target.txt"), path("work/link.fmtd.txt")));
    ASSERT_TRUE(QFile::link(path("work/sub"), path("work/folder-link")));
    ASSERT_EQ(::mkfifo(QFile::encodeName(path("work/fifo.fmtd.txt")).constData(), 0600), 0);
    QString stays;
    FaultyFileSystem fs;
    fs.before = [&](const QString &op, const QString &file) {
        if (op == u"DeleteFile"_s && stays.isEmpty()) {
            stays = QFileInfo(file).fileName();
            throw FileSystemError(EBUSY, op, file);
        }
    };
    const HangGuard guard;
    CreateOrEmptyFolder(fs, path("work"));
    EXPECT_EQ(QDir(path("work")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
              (QStringList{stays, u"sub"_s}));
    EXPECT_EQ(readFile("work/sub/kept.txt"), QByteArray("kept"));
    EXPECT_EQ(readFile("target.txt"), QByteArray("target"));

    CreateOrEmptyFolder(fs, path("fresh"));
    EXPECT_TRUE(QFileInfo(path("fresh")).isDir());
    CreateOrEmptyFolder(fs, path("no/parent"));
    EXPECT_FALSE(QFileInfo::exists(path("no")));
    CreateOrEmptyFolder(fs, QString());
}

} // namespace
