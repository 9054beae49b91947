#include "platform/TextStream.h"
#include "platform/FileSystem.h"

#include "support/TestEnvironment.h"

namespace {

class TextStreamTest : public TempEnvironment {
protected:
    FileSystem fs;
};

// UTF-16 with its byte-order mark and CR LF; closed, a stream writes no more.
TEST_F(TextStreamTest, UnicodeFileIsUtf16WithBomAndCrLf)
{
    auto stream = fs.CreateTextFile(path("u.txt"), true, true);
    stream->WriteLine(u"Aé€"_s);
    stream->WriteLine(QString());
    // A pair stays; a lone half (a name byte that is not UTF-8) is written as U+FFFD.
    stream->Write(u"\U0001F600"_s + QChar(0xDCFF) + QChar(0xD83D));
    stream->Close();
    EXPECT_NO_THROW(stream->Close());
    EXPECT_THROW(stream->WriteLine(u"late"_s), FileSystemError);
    EXPECT_EQ(readFile("u.txt"), QByteArray("\xFF\xFE"
                                            "A\0\xE9\0\xAC\x20\r\0\n\0\r\0\n\0"
                                            "\x3D\xD8\x00\xDE\xFD\xFF\xFD\xFF",
                                            24));
}

// A line ends at LF or CR LF only. Walked in parts, it is never held more than a part at a time;
// the parts put together give the line back, whatever the part size and wherever the CR LF
// falls, as a whole read (part size 0) does. Written again as single-byte text, every byte but
// LF and CR comes back as itself, each line on disk as soon as it is written.
TEST_F(TextStreamTest, LinesEndAtLfOrCrLfOnlyAndEveryOtherByteComesBack)
{
    QByteArray longLine, every;
    for (int i = 0; i < 200000; ++i)
        longLine.append(char('a' + i % 26));
    for (int b = 0; b < 256; ++b)
        if (b != '\n' && b != '\r')
            every.append(char(b));
    const QByteArray text = longLine + "\r\n" + every + "\n" + QByteArray(510, 'x') +
                            "\r\nthree\rstill three\r\n\r\ntail";
    writeFile("long.txt", text);
    QStringList whole;
    for (qsizetype part : {0, 1, 2, 509, 510, 511, 65536, 1 << 20}) {
        auto in = fs.OpenTextFile(path("long.txt"));
        QStringList lines;
        while (!in->AtEndOfStream()) {
            QString line = part == 0 ? in->ReadLine() : QString();
            for (bool ended = part == 0; !ended;) {
                const QString piece = in->ReadLinePart(part, ended);
                ASSERT_LE(piece.size(), part);
                line += piece;
            }
            lines << line;
        }
        if (part == 0)
            whole = lines;
        EXPECT_EQ(lines, (QStringList{QString::fromLatin1(longLine), whole.value(1),
                                      QString(510, QLatin1Char('x')), u"three\rstill three"_s,
                                      QString(), u"tail"_s}))
            << "part size " << part;
    }
    auto out = fs.CreateTextFile(path("copy.txt"), true, false);
    for (const QString &line : whole)
        out->WriteLine(line);
    EXPECT_EQ(readFile("copy.txt"),
              QByteArray(text).replace("\r\n", "\n").replace('\n', "\r\n") + "\r\n");
}

// What grew after the opening: a last line not ended past the size the file was opened with is
// left out, cut back to that size where it began before it; what was there at the opening stays.
TEST_F(TextStreamTest, ALastLineNotEndedPastTheOpeningIsLeftOut)
{
    const struct {
        const char *opened, *grown;
        QStringList lines;
    } rows[] = {{"A\nB", "", {u"A"_s, u"B"_s}},   {"A\nB", "C", {u"A"_s, u"B"_s}},
                {"A\nB", "\n", {u"A"_s, u"B"_s}}, {"A\n", "", {u"A"_s}},
                {"A\n", "B", {u"A"_s}},           {"A\n", "B\n", {u"A"_s, u"B"_s}}};
    for (const auto &row : rows) {
        writeFile("grows.txt", row.opened);
        auto in = fs.OpenTextFile(path("grows.txt"));
        writeFile("grows.txt", QByteArray(row.opened) + row.grown); // the same file, longer
        QStringList lines;
        while (!in->AtEndOfStream())
            lines << in->ReadLine();
        EXPECT_EQ(lines, row.lines) << row.opened << "|" << row.grown;
    }
}

// Whether the last byte of the opened size was read as not zero, with the bytes either side of it
// the other way: sizes at a read block's edge and one either side, and the file grown meanwhile.
TEST_F(TextStreamTest, TheOpenedEndIsToldAsItWasRead)
{
    for (const qsizetype size : {2, 65535, 65536, 65537})
        for (const char last : {'\0', 'x'}) {
            const char other = last ? '\0' : 'x';
            const QByteArray bytes = QByteArray(size - 2, 'a') + other + last;
            writeFile("end.txt", bytes);
            auto in = fs.OpenTextFile(path("end.txt"));
            writeFile("end.txt", bytes + other + "grown\n"); // the same file, longer
            while (!in->AtEndOfStream())
                in->ReadLine();
            EXPECT_EQ(in->ReadToOpenedEndBeforeAnyCut(size), last != 0) << size;
            EXPECT_FALSE(in->ReadToOpenedEndBeforeAnyCut(size + 1)) << "not the size it opened";
        }
}

// Single-byte text as the toolkit makes it, at every length around blocks of sixteen and wherever
// a character at either side of having a byte (0xff, 0x100) or of the sign (0x7fff, 0x8000) falls.
TEST(Latin1IntoTest, AsTheToolkitAtEveryLengthAndPlace)
{
    for (qsizetype n = 0; n < 40; ++n)
        for (qsizetype at = 0; at <= n; ++at)
            for (const char16_t odd : {u'\u00ff', u'\u0100', u'\u7fff', u'\u8000', u'\uffff'}) {
                QString text(n, QChar(0xe9));
                for (qsizetype i = 0; i < n; ++i)
                    text[i] = i == at ? QChar(odd) : QChar(char16_t(1 + i * 37 % 255));
                QByteArray out(n, '\0');
                latin1Into(out.data(), text);
                ASSERT_EQ(out, text.toLatin1()) << n << " " << at;
            }
}

} // namespace
