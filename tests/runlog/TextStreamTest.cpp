#include "runlog/FileSystem.h"

#include "support/TestEnvironment.h"

namespace {

class TextStreamTest : public TempEnvironment {
protected:
    FileSystem fs;
};

TEST_F(TextStreamTest, UnicodeFileIsUtf16WithBomAndCrLf)
{
    auto stream = fs.CreateTextFile(path(QStringLiteral("u.txt")), true, true);
    stream->WriteLine(QStringLiteral("Aé€"));
    stream->WriteLine(QString());
    stream->Close();
    EXPECT_EQ(readFile(QStringLiteral("u.txt")), QByteArray("\xFF\xFE"
                                                            "A\0\xE9\0\xAC\x20\r\0\n\0\r\0\n\0",
                                                            16));
}

TEST_F(TextStreamTest, LinesAreOnDiskBeforeClose)
{
    auto stream = fs.CreateTextFile(path(QStringLiteral("live.txt")), true, false);
    stream->WriteLine(QStringLiteral("first"));
    EXPECT_EQ(readFile(QStringLiteral("live.txt")), QByteArray("first\r\n"));
    stream->WriteLine(QStringLiteral("second"));
    EXPECT_EQ(readFile(QStringLiteral("live.txt")), QByteArray("first\r\nsecond\r\n"));
}

TEST_F(TextStreamTest, SingleByteTextRoundTripsEveryByte)
{
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        if (b != '\n' && b != '\r')
            all.append(char(b));
    writeFile(QStringLiteral("bytes.txt"), all + "\n");
    auto in = fs.OpenTextFile(path(QStringLiteral("bytes.txt")));
    const QString line = in->ReadLine();
    EXPECT_TRUE(in->AtEndOfStream());

    auto out = fs.CreateTextFile(path(QStringLiteral("copy.txt")), true, false);
    out->WriteLine(line);
    out->Close();
    EXPECT_EQ(readFile(QStringLiteral("copy.txt")), all + "\r\n");
}

TEST_F(TextStreamTest, ReadLineEndsAtLfOrCrLfOnly)
{
    writeFile(QStringLiteral("lines.txt"), "one\r\ntwo\nthree\rstill three\r\n\r\nlast");
    auto in = fs.OpenTextFile(path(QStringLiteral("lines.txt")));
    QStringList lines;
    while (!in->AtEndOfStream())
        lines << in->ReadLine();
    EXPECT_EQ(lines, (QStringList{QStringLiteral("one"), QStringLiteral("two"),
                                  QStringLiteral("three\rstill three"), QString(),
                                  QStringLiteral("last")}));
}

TEST_F(TextStreamTest, EmptyFileIsAtEndAtOnce)
{
    writeFile(QStringLiteral("empty.txt"), QByteArray());
    EXPECT_TRUE(fs.OpenTextFile(path(QStringLiteral("empty.txt")))->AtEndOfStream());
}

// A line is walked in parts without ever holding more than one part; the parts put together give
// the line back, whatever the part size and wherever the CR LF falls.
TEST_F(TextStreamTest, LinePartsCoverLongLinesExactly)
{
    QByteArray longLine;
    for (int i = 0; i < 200000; ++i)
        longLine.append(char('a' + i % 26));
    const QByteArray content =
        longLine + "\r\n" + "short\n" + QByteArray(510, 'x') + "\r\n" + "tail";
    writeFile(QStringLiteral("long.txt"), content);
    for (qsizetype part : {1, 2, 509, 510, 511, 65536, 1 << 20}) {
        auto in = fs.OpenTextFile(path(QStringLiteral("long.txt")));
        QStringList lines;
        while (!in->AtEndOfStream()) {
            QString line;
            bool ended = false;
            while (!ended) {
                const QString piece = in->ReadLinePart(part, ended);
                ASSERT_LE(piece.size(), part);
                line += piece;
            }
            lines << line;
        }
        EXPECT_EQ(lines, (QStringList{QString::fromLatin1(longLine), QStringLiteral("short"),
                                      QString(510, QLatin1Char('x')), QStringLiteral("tail")}))
            << "part size " << part;
    }
}

TEST_F(TextStreamTest, ClosedStreamRefusesToWriteAndCloseTwiceIsHarmless)
{
    auto stream = fs.CreateTextFile(path(QStringLiteral("c.txt")), true, true);
    stream->Close();
    EXPECT_NO_THROW(stream->Close());
    EXPECT_THROW(stream->WriteLine(QStringLiteral("late")), FileSystemError);
}

TEST_F(TextStreamTest, WriteToAFullDeviceFails)
{
    if (!QFile::exists(QStringLiteral("/dev/full")))
        GTEST_SKIP() << "no /dev/full";
    auto stream = fs.CreateTextFile(QStringLiteral("/dev/full"), true, false);
    EXPECT_THROW(stream->WriteLine(QStringLiteral("nowhere to go")), FileSystemError);
}

TEST_F(TextStreamTest, CreateWithoutOverwriteRefusesAnExistingFile)
{
    writeFile(QStringLiteral("keep.txt"), "keep");
    EXPECT_THROW(fs.CreateTextFile(path(QStringLiteral("keep.txt")), false, false),
                 FileSystemError);
    EXPECT_EQ(readFile(QStringLiteral("keep.txt")), QByteArray("keep"));
}

} // namespace
