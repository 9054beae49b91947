#include "archive/DiagFormatting.h"
#include "runlog/FolderUtilities.h"

#include "support/FaultyFileSystem.h"
#include "support/ReadableCopyReference.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

namespace {

// 2026-12-04 14:05:09.123 UTC, thread 0A3C, ERROR, MsgStore.
const QByteArray head = "000001A2415F8683|0A3C|3|1|";
const QString formattedHead = u"2026-12-04 14:05:09.123 [0A3C] ERROR MsgStore: "_s;

class DiagFormattingTest : public TempEnvironment {
protected:
    void SetUp() override
    {
        TempEnvironment::SetUp();
        writeServedProduct();
        run = makeRun();
    }

    bool format(const QByteArray &raw)
    {
        writeFile("diag_test.log", raw);
        return strFormatDiagFile(*run, path("diag_test.log"), path("diag_test.log.fmtd.txt"));
    }

    QList<QByteArray> formattedLines() const
    {
        QList<QByteArray> lines = readFile("diag_test.log.fmtd.txt").split('\n');
        EXPECT_TRUE(lines.last().isEmpty()) << "every line ends with CR LF";
        lines.removeLast();
        for (QByteArray &line : lines) {
            EXPECT_TRUE(line.endsWith('\r'));
            line.chop(1);
        }
        return lines;
    }

    // Run-log lines after the header, without their time stamps.
    QStringList logged() const
    {
        QStringList lines;
        const QString text = run->runLog().pane().text();
        for (const QString &line : text.split(u"\r\n"_s)) {
            const qsizetype stamp = line.indexOf(u": "_s);
            if (stamp > 0 && line.at(0).isDigit())
                lines << line.mid(stamp + 2);
        }
        return lines;
    }

    std::unique_ptr<::Run> run;
};

// Records become readable lines, cut at 510 characters; blank and control lines are dropped and
// leads cleaned. An earlier copy is replaced, never appended to. Each rejected line costs three
// run-log lines.
TEST_F(DiagFormattingTest, RecordsBecomeReadableLines)
{
    const QByteArray filled = head + QByteArray(510 - head.size(), '4');
    const QByteArray decoded = formattedHead.toLatin1() + QByteArray((510 - head.size()) / 2, 'D');
    const struct {
        QByteArray raw;
        QList<QByteArray> copy;
        int rejected = 0;
    } cases[] = {
        {head + "48656C6C6F\r\n" + "000001A2415F8683|ffff|0|9|41424\n",
         {formattedHead.toLatin1() + "Hello",
          "2026-12-04 14:05:09.123 [FFFF] TRACE Component9: AB4"}},
        {filled + "\r\n" + filled + "Z\r\n", {decoded, decoded + " Z"}},
        // Blanks after a leading tab stay: this record no longer starts with its time stamp, and
        // the formatter rejects it.
        {QByteArray("\r\n      \r\n\t\t\r\n\0\0\t\r\n", 19) + "  \t" + head + "41\r\n" + "\t  " +
             head + "42\r\n",
         {formattedHead.toLatin1() + "A", "  " + head + "42"},
         1},
        {"   \r\n\t\r\n", {}},
    };
    run->runLog().OpenRunLog(path("run.TXT"));
    writeFile("diag_test.log.fmtd.txt", QByteArray(10000, 'o'));
    for (const auto &c : cases) {
        const qsizetype before = logged().size();
        ASSERT_TRUE(format(c.raw));
        EXPECT_EQ(formattedLines(), c.copy);
        const QStringList told = logged().mid(before);
        ASSERT_EQ(told.size(), 2 + 3 * c.rejected);
        EXPECT_EQ(told.first(), u"    Formatting diagnostic log file:"_s + path("diag_test.log"));
        EXPECT_EQ(told.last(), u"    Formatting complete to:"_s + path("diag_test.log.fmtd.txt"));
    }
}

TEST_F(DiagFormattingTest, ARejectedLineIsKeptRawWithThreeRunLogLines)
{
    run->runLog().OpenRunLog(path("run.TXT"));
    const QByteArray longBad = "not a record " + QByteArray(600, 'y');
    ASSERT_TRUE(format(head + "41\r\nnot a record\r\n" + longBad + "\r\n" + head + "42\r\n"));
    EXPECT_EQ(formattedLines(), (QList<QByteArray>{formattedHead.toLatin1() + "A", "not a record",
                                                   longBad, formattedHead.toLatin1() + "B"}));
    const QStringList lines = logged();
    ASSERT_EQ(lines.size(), 8);
    EXPECT_EQ(lines[1], u"(error) in strFormatDiagFile on frmMain for file="_s +
                            path("diag_test.log") +
                            QStringLiteral(", error=not a diagnostic record: expected 5 fields "
                                           "separated by '|', found 1"));
    EXPECT_EQ(lines[2], u"    RawLine='not a record'"_s);
    EXPECT_EQ(lines[3], u"    RestOfLine=''"_s);
    EXPECT_EQ(lines[5], u"    RawLine='"_s + QString::fromLatin1(longBad.left(510)) + "'");
    EXPECT_EQ(lines[6], u"    RestOfLine='"_s + QString::fromLatin1(longBad.mid(510)) + "'");
    EXPECT_EQ(run->runLog().ErrorCount(), 2);
}

// A corrupt file keeps its every line and costs at most 100 listed lines and one count; the rest
// of a line too long to list says how much of it is not shown.
TEST_F(DiagFormattingTest, RejectedLinesAreListedUpToAHundredThenCounted)
{
    run->runLog().OpenRunLog(path("run.TXT"));
    const QByteArray huge = "not a record " + QByteArray(200000, 'h');
    QByteArray raw = huge + "\r\n";
    for (int i = 0; i < 249; ++i)
        raw += "bad " + QByteArray::number(i) + "\r\n";
    ASSERT_TRUE(format(raw + head + "41\r\n"));
    const QList<QByteArray> copy = formattedLines();
    ASSERT_EQ(copy.size(), 251);
    EXPECT_EQ(copy[0], huge);
    EXPECT_EQ(copy[249], "bad 248");
    EXPECT_EQ(copy[250], formattedHead.toLatin1() + "A");

    // The pane keeps only the last lines: the run-log file has them all.
    const QStringList lines = runLogEvents(readFile(u"run.TXT"_s));
    ASSERT_EQ(lines.size(), 1 + 300 + 1 + 1);
    EXPECT_EQ(lines[299], u"    RawLine='bad 98'"_s);
    EXPECT_EQ(lines[301], u"(error) in strFormatDiagFile on frmMain for file="_s +
                              path("diag_test.log") +
                              u", error=150 more lines of this file could not be formatted; they "
                              "are kept raw in the formatted copy and not listed one by one"_s);
    EXPECT_EQ(run->runLog().ErrorCount(), 101);

    const QString rest = QString::fromLatin1(huge.mid(510));
    const QRegularExpressionMatch shown =
        QRegularExpression(
            u"^    RestOfLine='(h+)' \u2026 \\[(\\d+) more characters not shown\\]$"_s)
            .match(lines[3]);
    ASSERT_TRUE(shown.hasMatch()) << lines[3].left(100).toStdString();
    EXPECT_TRUE(rest.startsWith(shown.captured(1)));
    EXPECT_EQ(shown.captured(1).size() + shown.captured(2).toLongLong(), rest.size());
}

// Without a formatter no line can be read: the raw file goes in, at the cost of one line.
TEST_F(DiagFormattingTest, NoFormatterGivesFalseAndOneLine)
{
    writeServedProduct(0x00040000, false);
    run = makeRun(u"unregistered"_s);
    run->runLog().OpenRunLog(path("run.TXT"));
    EXPECT_FALSE(format(head + "41\r\n" + head + "42\r\n"));
    const QStringList lines = logged();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[1].startsWith(u"(error) in strFormatDiagFile on frmMain for file="_s +
                                    path("diag_test.log") +
                                    u", error=The diagnostic line formatter of Orvel cannot be "
                                    "created"_s))
        << lines[1].toStdString();
    EXPECT_EQ(run->runLog().ErrorCount(), 1);
}

// A formatter that crashes or hangs costs its file, which goes in raw, and the next file gets a
// fresh one. The test build of the stand-in crashes on the message "CRASH" and hangs on "HANG".
TEST_F(DiagFormattingTest, AFormatterThatCrashesOrHangsCostsOnlyItsFile)
{
    writeRegistry(readFile(u"registry.reg"_s)
                      .replace("libOrvelComponents.so", "libOrvelFaultyComponents.so"));
    run = makeRun(u"faulty"_s);
    run->FormatTimeLimit = {std::chrono::seconds(1), std::chrono::seconds(0)};
    run->runLog().OpenRunLog(path("run.TXT"));
    const std::pair<QByteArray, QString> cases[] = {
        {"4352415348", u"crashed (signal 6)"_s},
        {"48414E47", u"did not answer in time (1 s for this file) and was stopped"_s},
    };
    for (const auto &[message, what] : cases) {
        const qint32 errors = run->runLog().ErrorCount();
        const qsizetype before = logged().size();
        EXPECT_FALSE(format(head + "41\r\n" + head + message + "\r\n" + head + "42\r\n"));
        const QStringList lines = logged().mid(before);
        ASSERT_EQ(lines.size(), 4) << what.toStdString();
        EXPECT_EQ(lines[1], u"(error) in strFormatDiagFile on frmMain for file="_s +
                                path("diag_test.log") +
                                u", error=The diagnostic line formatter of Orvel "_s + what);
        EXPECT_EQ(lines[2], u"    RawLine='"_s + QString::fromLatin1(head + message) + "'");
        EXPECT_EQ(run->runLog().ErrorCount(), errors + 1);

        ASSERT_TRUE(format(head + "43\r\n")) << "the next file";
        EXPECT_EQ(formattedLines(), QList<QByteArray>{formattedHead.toLatin1() + "C"});
    }
}

TEST_F(DiagFormattingTest, MissingRawFileOrUncreatableCopyGivesFalse)
{
    run->runLog().OpenRunLog(path("run.TXT"));
    writeFile("missing.fmtd.txt", "earlier");
    EXPECT_FALSE(strFormatDiagFile(*run, path("missing"), path("missing.fmtd.txt")));
    EXPECT_EQ(readFile("missing.fmtd.txt"), QByteArray("earlier"));
    EXPECT_EQ(logged().last(),
              QStringLiteral(
                  "(error) raw diagnostic file path is invalid in strFormatDiagFile on frmMain:") +
                  path("missing"));

    auto faulty = std::make_unique<FaultyFileSystem>();
    faulty->failOn(u"CreateTextFile"_s, u"copy.txt"_s);
    auto locked = makeRun(u"locked"_s, std::move(faulty));
    locked->runLog().OpenRunLog(path("locked.TXT"));
    writeFile("diag_test.log", head + "41\r\n");
    EXPECT_FALSE(strFormatDiagFile(*locked, path("diag_test.log"), path("copy.txt")));
    EXPECT_EQ(locked->runLog().ErrorCount(), 1);

    // A copy whose last buffered lines cannot be written is cut short: no copy.
    auto full = std::make_unique<FaultyFileSystem>();
    full->fullDevice = u"full.txt"_s;
    auto onFull = makeRun(u"full"_s, std::move(full));
    onFull->runLog().OpenRunLog(path("full.TXT"));
    EXPECT_FALSE(strFormatDiagFile(*onFull, path("diag_test.log"), path("full.txt")));
    EXPECT_EQ(onFull->runLog().ErrorCount(), 1);
}

// A line of any length: its first 510 cleaned characters are formatted, the rest is copied
// through in blocks, trailing blanks dropped, exactly as if the whole line had been cleaned.
TEST_F(DiagFormattingTest, AVeryLongLineIsCopiedThroughWhole)
{
    QByteArray line = "   " + head + QByteArray(510 - head.size(), '4');
    for (int i = 0; line.size() < 3 * 1024 * 1024; ++i)
        line += QByteArray::number(i) + (i % 7 ? " " : "    ");
    line += QByteArray(200000, ' ');
    ASSERT_TRUE(format(line + "\r\n" + head + "43"));
    const QString cleaned = TrimLeadingControlChars(QString::fromLatin1(line));
    const QList<QByteArray> lines = formattedLines();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], formattedHead.toLatin1() + QByteArray((510 - head.size()) / 2, 'D') + ' ' +
                            cleaned.mid(510).toLatin1());
    EXPECT_EQ(lines[1], formattedHead.toLatin1() + "C");
}

// Every raw case, its copy made in memory and written to its file alike, matches the reference
// byte for byte; a copy stays in memory exactly up to the bound, and each rejected line costs its
// "(error)" line.
TEST_F(DiagFormattingTest, CopiesMatchTheReferenceAcrossEveryBoundary)
{
    constexpr qint64 inMemoryUpTo = 1 << 20;
    reference::writeRawCases(path("raw"));
    const std::unique_ptr<DiagLineFormatter> formatter = run->createDiagLineFormatter();
    const DiagFormatterSource source = [&]() -> DiagLineFormatter & { return *formatter; };
    std::map<QString, std::pair<int, int>> errors;
    QDir().mkpath(path("memory"));
    QDir().mkpath(path("file"));
    for (const QFileInfo &raw : QDir(path("raw")).entryInfoList(QDir::Files)) {
        const QString name = raw.fileName() + u".fmtd.txt"_s;
        const auto format = [&](const char *folder, qint64 bound) {
            const DiagFormatOutcome outcome =
                formatDiagFile(source, run->fileSystem(), {}, raw.filePath(),
                               path(QLatin1String(folder)) + u"/"_s + name, nullptr, bound);
            EXPECT_TRUE(outcome.formatted) << name.toStdString();
            EXPECT_EQ(outcome.copy.has_value(), raw.size() <= bound) << name.toStdString();
            if (outcome.copy)
                writeFile(QLatin1String(folder) + u"/"_s + name, *outcome.copy);
            return int(std::count_if(outcome.lines.begin(), outcome.lines.end(),
                                     [](const QString &l) { return l.startsWith(u"(error)"_s); }));
        };
        errors[raw.fileName()] = {format("memory", inMemoryUpTo), format("file", -1)};
    }
    reference::expectReferenceCopies(path("raw"), path("file"));
    for (const auto &[name, rejected] :
         reference::expectReferenceCopies(path("raw"), path("memory")))
        EXPECT_EQ(errors[name],
                  std::pair(reference::errorLinesFor(rejected), reference::errorLinesFor(rejected)))
            << name.toStdString();
}

// A raw file that grows while it is read: its copy outgrows its bound in memory and goes on in
// its file, whole.
TEST_F(DiagFormattingTest, ACopyThatOutgrowsMemoryGoesToItsFile)
{
    reference::writeRawCases(path("raw"), {u"small_1"_s});
    reference::writeRawCases(path("more"), {u"filled_300000"_s});
    const QString raw = path("raw/diag_small_1.log");
    FaultyFileSystem grows;
    grows.before = [&](const QString &operation, const QString &) {
        QFile file(raw);
        if (operation == u"OpenTextFile"_s && file.open(QIODevice::Append))
            file.write(readFile("more/diag_filled_300000.log"));
    };
    const std::unique_ptr<DiagLineFormatter> formatter = run->createDiagLineFormatter();
    QDir().mkpath(path("copies"));
    const DiagFormatOutcome outcome =
        formatDiagFile([&]() -> DiagLineFormatter & { return *formatter; }, grows, {}, raw,
                       path("copies/diag_small_1.log.fmtd.txt"), nullptr, 64 * 1024);
    EXPECT_TRUE(outcome.formatted);
    EXPECT_FALSE(outcome.copy.has_value());
    reference::expectReferenceCopies(path("raw"), path("copies"));
}

// A formatter slow on every line: the file's time limit holds across its batches, rather than a
// batch's worth of time for each batch. The test build of the stand-in takes a millisecond for
// the message "SLOW".
TEST_F(DiagFormattingTest, TheTimeLimitHoldsForTheFileAcrossItsBatches)
{
    writeRegistry(readFile(u"registry.reg"_s)
                      .replace("libOrvelComponents.so", "libOrvelFaultyComponents.so"));
    run = makeRun(u"faulty"_s);
    const std::unique_ptr<DiagLineFormatter> formatter = run->createDiagLineFormatter();
    writeFile("diag_slow.log", (head + "534C4F57\r\n").repeated(12 * 256));
    const DiagFormatOutcome outcome =
        formatDiagFile([&]() -> DiagLineFormatter & { return *formatter; }, run->fileSystem(),
                       {std::chrono::seconds(1), std::chrono::seconds(0)}, path("diag_slow.log"),
                       path("diag_slow.log.fmtd.txt"));
    EXPECT_FALSE(outcome.formatted);
    EXPECT_TRUE(outcome.timedOut);
    ASSERT_GE(outcome.lines.size(), 2);
    EXPECT_TRUE(
        outcome.lines[1].endsWith(u"did not answer in time (1 s for this file) and was stopped"_s))
        << outcome.lines[1].toStdString();
}

TEST_F(DiagFormattingTest, OneFormatterServesTheWholeProcess)
{
    DiagLineFormatter *first = &run->diagLineFormatter();
    ASSERT_TRUE(format(head + "41\r\n"));
    ASSERT_TRUE(format(head + "42\r\n"));
    EXPECT_EQ(&run->diagLineFormatter(), first);
}

TEST_F(DiagFormattingTest, StandInNamesWhatIsWrongWithALine)
{
    DiagLineFormatter &formatter = run->diagLineFormatter();
    const std::pair<const char *, const char *> cases[] = {
        {"000001A2415F868|0A3C|3|1|41", "bad time stamp: expected 16 hexadecimal digits"},
        {"FFFFFFFFFFFFFFFF|0A3C|3|1|41", "bad time stamp: beyond the year 9999"},
        {"000001A2415F8683|0A3|3|1|41", "bad thread: expected 4 hexadecimal digits"},
        {"000001A2415F8683|0A3C|5|1|41", "bad level: expected one digit from 0 to 4"},
        {"000001A2415F8683|0A3C|3|x|41", "bad component: expected a decimal id"},
        {"000001A2415F8683|0A3C|3|1|4G", "bad message: not hexadecimal at character 2"},
    };
    for (const auto &[line, problem] : cases) {
        try {
            formatter.FormatLine(QLatin1String(line));
            ADD_FAILURE() << line << " was formatted";
        } catch (const Failure &failure) {
            EXPECT_EQ(failure.description(), QLatin1String(problem)) << line;
        }
    }
    EXPECT_EQ(formatter.FormatLine(u"0000000000000000|0000|1|4|"_s),
              u"1970-01-01 00:00:00.000 [0000] INFO Directory: "_s);
}

} // namespace
