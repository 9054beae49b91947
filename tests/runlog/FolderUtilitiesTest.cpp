#include "runlog/FolderUtilities.h"

#include "support/FaultyFileSystem.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>

#include <unistd.h>

namespace {

class FolderUtilitiesTest : public TempEnvironment {
protected:
    FileSystem fs;
};

TEST_F(FolderUtilitiesTest, WriteAccessProbeLeavesNothingBehind)
{
    const QString folder = path(QStringLiteral("target"));
    QDir().mkpath(folder);
    EXPECT_TRUE(TestWriteAccess(fs, folder));
    EXPECT_TRUE(TestWriteAccess(fs, folder + QLatin1Char('/')));
    EXPECT_FALSE(QFile::exists(folder + QStringLiteral("/temp.test.txt")));

    // A probe someone left in a writable folder is overwritten and removed.
    writeFile(QStringLiteral("target/temp.test.txt"), "left over");
    EXPECT_TRUE(TestWriteAccess(fs, folder));
    EXPECT_FALSE(QFile::exists(folder + QStringLiteral("/temp.test.txt")));

    EXPECT_FALSE(TestWriteAccess(fs, path(QStringLiteral("missing"))));
    EXPECT_FALSE(TestWriteAccess(fs, QStringLiteral("/proc/")));
}

TEST_F(FolderUtilitiesTest, AProbeThatIsThereAlreadyProvesNothing)
{
    // The folder takes no new file, yet a probe lies in it: the answer is still no, and the probe
    // someone else left stays.
    writeFile(QStringLiteral("locked/temp.test.txt"), "not ours");
    FaultyFileSystem locked;
    locked.failOn(QStringLiteral("CreateTextFile"));
    EXPECT_FALSE(TestWriteAccess(locked, path(QStringLiteral("locked"))));
    EXPECT_EQ(readFile(QStringLiteral("locked/temp.test.txt")), QByteArray("not ours"));
}

TEST_F(FolderUtilitiesTest, ProbeNeverFollowsASymbolicLink)
{
    writeFile(QStringLiteral("elsewhere.txt"), "precious");
    QDir().mkpath(path(QStringLiteral("target")));
    ASSERT_EQ(
        ::symlink(QFile::encodeName(path(QStringLiteral("elsewhere.txt"))).constData(),
                  QFile::encodeName(path(QStringLiteral("target/temp.test.txt"))).constData()),
        0);
    EXPECT_FALSE(TestWriteAccess(fs, path(QStringLiteral("target"))));
    EXPECT_EQ(readFile(QStringLiteral("elsewhere.txt")), QByteArray("precious"));
    EXPECT_TRUE(QFileInfo(path(QStringLiteral("target/temp.test.txt"))).isSymLink());

    // A dangling link is no way to create a file somewhere else either.
    QFile::remove(path(QStringLiteral("elsewhere.txt")));
    EXPECT_FALSE(TestWriteAccess(fs, path(QStringLiteral("target"))));
    EXPECT_FALSE(QFile::exists(path(QStringLiteral("elsewhere.txt"))));
}

TEST_F(FolderUtilitiesTest, EmptyingKeepsSubfoldersAndTheFolder)
{
    writeFile(QStringLiteral("work/a.txt"), "a");
    writeFile(QStringLiteral("work/b.zip"), "b");
    writeFile(QStringLiteral("work/sub/kept.txt"), "kept");
    QFile::setPermissions(path(QStringLiteral("work/a.txt")), QFile::ReadOwner);
    CreateOrEmptyFolder(fs, path(QStringLiteral("work")));
    EXPECT_EQ(QDir(path(QStringLiteral("work"))).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
              QStringList{QStringLiteral("sub")});
    EXPECT_EQ(readFile(QStringLiteral("work/sub/kept.txt")), QByteArray("kept"));

    CreateOrEmptyFolder(fs, path(QStringLiteral("fresh")));
    EXPECT_TRUE(QFileInfo(path(QStringLiteral("fresh"))).isDir());
    CreateOrEmptyFolder(fs, path(QStringLiteral("no/parent")));
    EXPECT_FALSE(QFileInfo::exists(path(QStringLiteral("no"))));
    CreateOrEmptyFolder(fs, QString());
}

TEST_F(FolderUtilitiesTest, EmptyingGoesOnPastAFileThatStays)
{
    for (const char *name : {"1", "2", "3"})
        writeFile(QStringLiteral("work/") + QLatin1String(name), "x");
    int attempts = 0;
    struct CountingFs : FileSystem {
        int *attempts;
        void DeleteFile(const QString &p, bool force) override
        {
            if (++*attempts == 1)
                throw FileSystemError(EBUSY, QStringLiteral("Cannot delete file"), p);
            FileSystem::DeleteFile(p, force);
        }
    } counting;
    counting.attempts = &attempts;
    CreateOrEmptyFolder(counting, path(QStringLiteral("work")));
    EXPECT_EQ(attempts, 3);
    EXPECT_EQ(QDir(path(QStringLiteral("work"))).entryList(QDir::Files).size(), 1);
}

TEST(TrimLeadingControlChars, CleansOnlyTheStart)
{
    const QChar nul(0);
    EXPECT_EQ(TrimLeadingControlChars(QStringLiteral("     ")), QString());
    EXPECT_EQ(TrimLeadingControlChars(QString(nul) + QStringLiteral("\t\r\n")), QString());
    EXPECT_EQ(TrimLeadingControlChars(QStringLiteral("\r\nabc")), QStringLiteral("abc"));
    EXPECT_EQ(TrimLeadingControlChars(QStringLiteral("\t  abc")), QStringLiteral("  abc"));
    EXPECT_EQ(TrimLeadingControlChars(QStringLiteral("abc\r\n")), QStringLiteral("abc\r\n"));
    EXPECT_EQ(TrimLeadingControlChars(QStringLiteral("  \tabc\t x  ")), QStringLiteral("abc\t x"));
    EXPECT_EQ(TrimLeadingControlChars(QString(nul) + QStringLiteral("a") + nul),
              QStringLiteral("a") + nul);
    EXPECT_EQ(TrimLeadingControlChars(QString()), QString());
}

TEST(TrimLeadingControlChars, LongLinesAreKeptWhole)
{
    const QString line = QStringLiteral("\t") + QString(40000, QLatin1Char('x'));
    EXPECT_EQ(TrimLeadingControlChars(line), line.mid(1));
}

} // namespace
