#include "runlog/FolderUtilities.h"

#include "support/FaultyFileSystem.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

namespace {

class FolderUtilitiesTest : public TempEnvironment {
protected:
    FileSystem fs;
};

// Planted links and FIFOs go too, themselves: what a link points to stays, a FIFO is not opened.
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
    const HangGuard guard;
    CreateOrEmptyFolder(fs, path("work"));
    EXPECT_EQ(QDir(path("work")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
              QStringList{u"sub"_s});
    EXPECT_EQ(readFile("work/sub/kept.txt"), QByteArray("kept"));
    EXPECT_EQ(readFile("target.txt"), QByteArray("target"));

    CreateOrEmptyFolder(fs, path("fresh"));
    EXPECT_TRUE(QFileInfo(path("fresh")).isDir());
    CreateOrEmptyFolder(fs, path("no/parent"));
    EXPECT_FALSE(QFileInfo::exists(path("no")));
    CreateOrEmptyFolder(fs, QString());
}

TEST_F(FolderUtilitiesTest, EmptyingGoesOnPastAFileThatStays)
{
    for (const char *name : {"1", "2", "3"})
        writeFile("work/" + QLatin1String(name), "x");
    int attempts = 0;
    FaultyFileSystem faulty;
    faulty.before = [&](const QString &op, const QString &file) {
        if (op == u"DeleteFile"_s && ++attempts == 1)
            throw FileSystemError(EBUSY, op, file);
    };
    CreateOrEmptyFolder(faulty, path("work"));
    EXPECT_EQ(attempts, 3);
    EXPECT_EQ(QDir(path("work")).entryList(QDir::Files).size(), 1);
}

// Only blanks and control characters at the start go (a NUL too); a long line is kept whole.
TEST(TrimLeadingControlChars, CleansOnlyTheStart)
{
    const QChar nul(0);
    const QString line = u"\t"_s + QString(40000, QLatin1Char('x'));
    const std::pair<QString, QString> cases[] = {
        {u"     "_s, QString()},
        {QString(nul) + u"\t\r\n"_s, QString()},
        {u"\r\nabc"_s, u"abc"_s},
        {u"\t  abc"_s, u"  abc"_s},
        {u"abc\r\n"_s, u"abc\r\n"_s},
        {u"  \tabc\t x  "_s, u"abc\t x"_s},
        {QString(nul) + u"a"_s + nul, u"a"_s + nul},
        {QString(), QString()},
        {line, line.mid(1)},
    };
    for (const auto &[text, trimmed] : cases)
        EXPECT_EQ(TrimLeadingControlChars(text), trimmed) << text.left(20).toStdString();
}

} // namespace
