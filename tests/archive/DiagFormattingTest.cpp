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
constexpr qint64 smallFile = 64 << 10;
constexpr qint64 inMemoryUpTo = 1 << 20;

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

    // The test build of the stand-in: it crashes on the message "CRASH", hangs on "HANG" and
    // takes a millisecond for "SLOW".
    void useFaultyFormatter()
    {
        writeRegistry(readFile(u"registry.reg"_s)
                          .replace("libOrvelComponents.so", "libOrvelFaultyComponents.so"));
        run = makeRun(u"faulty"_s);
        formatter = run->createDiagLineFormatter();
    }

    // The diag_ files of `folder` as one group, copies in memory written to `copies`.
    std::vector<std::optional<DiagFormatOutcome>>
    formatGroup(const QString &folder, const QString &copies, DiagFormatTimeLimit limit = {},
                const std::function<bool(size_t)> &timedOut = {}, bool withheld = false)
    {
        std::vector<DiagFileJob> jobs;
        for (const QFileInfo &raw : QDir(folder).entryInfoList({u"diag_*"_s}, QDir::Files))
            jobs.push_back({raw.filePath(), copies + u"/"_s + raw.fileName() + u".fmtd.txt"_s,
                            nullptr, withheld});
        std::vector<std::optional<DiagFormatOutcome>> outcomes(jobs.size());
        std::vector<int> told(jobs.size(), 0);
        DiagGroupCalls calls{timedOut, {}, [&](size_t i, std::optional<DiagFormatOutcome> o) {
                                 ++told[i];
                                 outcomes[i] = std::move(o);
                             }};
        formatDiagFiles(source, run->fileSystem(), limit, jobs, nullptr, smallFile, inMemoryUpTo,
                        calls);
        EXPECT_EQ(told, std::vector<int>(jobs.size(), 1)) << "each file told of once";
        QDir().mkpath(copies);
        for (size_t i = 0; i < jobs.size(); ++i) {
            QFile copy(jobs[i].formattedPath);
            if (outcomes[i] && outcomes[i]->copy && copy.open(QIODevice::WriteOnly))
                copy.write(*outcomes[i]->copy);
        }
        return outcomes;
    }

    std::unique_ptr<::Run> run;
    std::unique_ptr<DiagLineFormatter> formatter;
    const DiagFormatterSource source = [this]() -> DiagLineFormatter & {
        if (!formatter)
            formatter = run->createDiagLineFormatter();
        return *formatter;
    };
};

// Every raw case, its copy made alone in memory, alone in its file (an earlier copy there
// replaced, never appended to) and with the small files in groups, also for a cleaned archive
// (raw parts withheld), matches the reference byte for byte; a copy stays in memory exactly up to
// the bound; each outcome begins and ends with its lines and costs an "(error)" line for each
// rejected line, the first hundred, then one more.
TEST_F(DiagFormattingTest, CopiesMatchTheReferenceAcrossEveryBoundary)
{
    reference::writeRawCases(path("raw"));
    const QFileInfoList raws = QDir(path("raw")).entryInfoList(QDir::Files);
    std::map<QString, std::vector<int>> errors;
    const auto note = [&](const QFileInfo &raw, const DiagFormatOutcome &outcome,
                          const QString &copy) {
        const std::string name = raw.fileName().toStdString();
        EXPECT_TRUE(outcome.formatted) << name;
        EXPECT_EQ(outcome.lines.first(), u"    Formatting diagnostic log file:"_s + raw.filePath());
        EXPECT_EQ(outcome.lines.last(), u"    Formatting complete to:"_s + copy) << name;
        errors[raw.fileName()].push_back(int(outcome.lines.filter(u"(error)"_s).size()));
    };
    for (const QFileInfo &raw : raws) {
        const QString name = raw.fileName() + u".fmtd.txt"_s;
        writeFile(u"file/"_s + name, QByteArray(20000, 'o'));
        for (const QString &folder : {u"memory"_s, u"file"_s, u"withheld"_s}) {
            const qint64 bound = folder == u"file"_s ? -1 : inMemoryUpTo;
            const QString copy = path(folder) + u"/"_s + name;
            const DiagFormatOutcome outcome =
                formatDiagFile(source, run->fileSystem(), {}, raw.filePath(), copy, nullptr, bound,
                               nullptr, folder == u"withheld"_s);
            note(raw, outcome, copy);
            EXPECT_EQ(outcome.copy.has_value(), raw.size() <= bound) << name.toStdString();
            if (outcome.copy)
                writeFile(folder + u"/"_s + name, *outcome.copy);
        }
    }
    // Groups of a few, in the table's order: small files held whole, the rest formatted alone.
    for (qsizetype first = 0; first < raws.size(); first += 7) {
        QDir(path("group")).removeRecursively();
        QDir().mkpath(path("group"));
        for (const QFileInfo &raw : raws.mid(first, 7))
            QFile::copy(raw.filePath(), path("group/") + raw.fileName());
        const QFileInfoList members = QDir(path("group")).entryInfoList(QDir::Files);
        for (const QString &copies : {u"grouped"_s, u"grouped-withheld"_s}) {
            const auto outcomes =
                formatGroup(path("group"), path(copies), {}, {}, copies != u"grouped"_s);
            ASSERT_EQ(outcomes.size(), size_t(members.size()));
            for (size_t i = 0; i < outcomes.size(); ++i) {
                const QFileInfo &member = members[qsizetype(i)];
                ASSERT_TRUE(outcomes[i]) << member.fileName().toStdString();
                note(member, *outcomes[i],
                     path(copies) + u"/"_s + member.fileName() + u".fmtd.txt"_s);
            }
        }
    }
    reference::expectReferenceCopies(path("raw"), path("file"));
    reference::expectReferenceCopies(path("raw"), path("grouped"));
    reference::expectReferenceCopies(path("raw"), path("withheld"), true);
    reference::expectReferenceCopies(path("raw"), path("grouped-withheld"), true);
    for (const auto &[name, rejected] :
         reference::expectReferenceCopies(path("raw"), path("memory")))
        EXPECT_EQ(errors[name], std::vector<int>(5, reference::errorLinesFor(rejected)))
            << name.toStdString();
}

// A corrupt file keeps its every line and costs at most 100 listed lines of three, and one count;
// the rest of a line too long to list says how much of it is not shown.
TEST_F(DiagFormattingTest, RejectedLinesAreListedUpToAHundredThenCounted)
{
    run->runLog().OpenRunLog(path("run.TXT"));
    const QByteArray huge = "not a record " + QByteArray(200000, 'h');
    QByteArray raw = huge + "\r\n";
    for (int i = 0; i < 249; ++i)
        raw += "bad " + QByteArray::number(i) + "\r\n";
    ASSERT_TRUE(format(raw + head + "41\r\n"));
    // The pane keeps only the last lines: the run-log file has them all.
    const QStringList lines = runLogEvents(readFile(u"run.TXT"_s));
    ASSERT_EQ(lines.size(), 1 + 300 + 1 + 1);
    const QString error = u"(error) in strFormatDiagFile on frmMain for file="_s +
                          path("diag_test.log") + u", error="_s;
    EXPECT_EQ(lines[1], error + u"not a diagnostic record: expected 5 fields separated by '|', "
                                "found 1"_s);
    EXPECT_EQ(lines[2], u"    RawLine='"_s + QString::fromLatin1(huge.left(510)) + u"'"_s);
    EXPECT_EQ(lines[299], u"    RawLine='bad 98'"_s);
    EXPECT_EQ(lines[300], u"    RestOfLine=''"_s);
    EXPECT_EQ(lines[301], error + u"150 more lines of this file could not be formatted; they are "
                                  "kept raw in the formatted copy and not listed one by one"_s);
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

// A formatter that crashes or hangs costs the file whose line it failed on, which goes in raw,
// and the next file gets a fresh one: formatted alone, or among a group of small files, those
// before it and after it in the group formatted all the same and told of in order.
TEST_F(DiagFormattingTest, AFormatterThatCrashesOrHangsCostsOnlyItsFile)
{
    useFaultyFormatter();
    reference::writeRawCases(path("group"), {u"small_1"_s, u"small_2"_s, u"small_4"_s});
    for (const auto &[message, what] :
         {std::pair("4352415348", u"crashed (signal 6)"_s),
          std::pair("48414E47", u"did not answer in time (1 s for this file) and was stopped"_s)}) {
        const QByteArray bad = head + "41\r\n" + head + message + "\r\n" + head + "42\r\n";
        writeFile("diag_test.log", bad);
        const DiagFormatOutcome alone =
            formatDiagFile(source, run->fileSystem(), {std::chrono::seconds(1), {}},
                           path("diag_test.log"), path("diag_test.log.fmtd.txt"));
        EXPECT_FALSE(alone.formatted);
        ASSERT_EQ(alone.lines.size(), 4) << what.toStdString();
        EXPECT_EQ(alone.lines[1], u"(error) in strFormatDiagFile on frmMain for file="_s +
                                      path("diag_test.log") +
                                      u", error=The diagnostic line formatter of Orvel "_s + what);
        EXPECT_EQ(alone.lines[2], u"    RawLine='"_s + QString::fromLatin1(head + message) + "'");

        writeFile("group/diag_small_3.log", bad);
        std::vector<size_t> timedOut;
        const auto outcomes = formatGroup(path("group"), path("copies"),
                                          {std::chrono::seconds(1), {}}, [&](size_t index) {
                                              timedOut.push_back(index);
                                              return true;
                                          });
        ASSERT_EQ(outcomes.size(), 4u);
        EXPECT_EQ(outcomes[2]->lines.mid(1),
                  QStringList(alone.lines.mid(1))
                      .replaceInStrings(path("diag_test.log"), path("group/diag_small_3.log")));
        EXPECT_EQ(timedOut, message == QByteArray("48414E47") ? std::vector<size_t>{2}
                                                              : std::vector<size_t>{});
        QFile::remove(path("group/diag_small_3.log"));
        reference::expectReferenceCopies(path("group"), path("copies"));
        ASSERT_TRUE(format(head + "43\r\n")) << "the next file";
    }
}

// A raw file that is not there, a copy that cannot be made or whose last buffered lines cannot be
// written (cut short: no copy), or no formatter to read a line with: false, at the cost of one
// line, and the raw file goes in; an earlier copy is left as it was.
TEST_F(DiagFormattingTest, WhatCannotBeFormattedGivesFalseAndOneLine)
{
    writeFile("diag_test.log", head + "41\r\n" + head + "42\r\n");
    // The events of the run log of a run made for it, once the formatting of `raw` failed.
    const auto fails = [&](const QString &name, std::unique_ptr<FileSystem> fs, const char *raw,
                           const char *copy) {
        const auto failing = makeRun(name, std::move(fs));
        failing->runLog().OpenRunLog(path(name + u".TXT"_s));
        EXPECT_FALSE(strFormatDiagFile(*failing, path(raw), path(copy))) << raw;
        EXPECT_EQ(failing->runLog().ErrorCount(), 1) << copy;
        return runLogEvents(readFile(name + u".TXT"_s));
    };
    writeFile("missing.fmtd.txt", "earlier");
    EXPECT_EQ(fails(u"missing"_s, nullptr, "missing", "missing.fmtd.txt").last(),
              u"(error) raw diagnostic file path is invalid in strFormatDiagFile on frmMain:"_s +
                  path("missing"));
    EXPECT_EQ(readFile("missing.fmtd.txt"), QByteArray("earlier"));
    auto locked = std::make_unique<FaultyFileSystem>();
    locked->failOn(u"CreateTextFile"_s, u"copy.txt"_s);
    fails(u"locked"_s, std::move(locked), "diag_test.log", "copy.txt");
    auto full = std::make_unique<FaultyFileSystem>();
    full->fullDevice = u"full.txt"_s;
    fails(u"full"_s, std::move(full), "diag_test.log", "full.txt");
    // Rotated after its size was taken (copied, then cut to one record and a half).
    auto rotated = std::make_unique<FaultyFileSystem>();
    rotated->before = [&](const QString &operation, const QString &) {
        if (operation == u"OpenTextFile"_s)
            QFile(path("diag_test.log")).resize(head.size() + 4 + 10);
    };
    EXPECT_EQ(fails(u"rotated"_s, std::move(rotated), "diag_test.log", "cut.txt").last(),
              u"(error) in strFormatDiagFile on frmMain for file="_s + path("diag_test.log") +
                  u", error=the file was cut short while it was read: %1 of %2 bytes"_s
                      .arg(head.size() + 14)
                      .arg(2 * (head.size() + 4)));
    writeFile("diag_test.log", head + "41\r\n" + head + "42\r\n");
    // A copy made in memory is named as on disk, and refused alike past a name's 255 bytes: bytes
    // that are no UTF-8 count one each, as the disk counts them.
    for (const qsizetype length : {255, 256}) {
        const QString name = QString(length - 19, u'c') + QString(10, QChar(0xDCE9));
        const DiagFormatOutcome named =
            formatDiagFile(source, run->fileSystem(), {}, path("diag_test.log"),
                           path(name + u".fmtd.txt"_s), nullptr, 1 << 20);
        EXPECT_EQ(named.formatted, length == 255) << length;
        EXPECT_EQ(named.lines.join(u'\n').contains(u"': File name too long"_s), length == 256);
    }
    // Cut to nothing and written again past its old end between the listing and the opening.
    writeFile("listed/diag_cut.log", head + "41\r\n");
    const Folder listed = run->fileSystem().GetFolder(path("listed"));
    QFile cut(path("listed/diag_cut.log"));
    ASSERT_TRUE(cut.resize(0) && cut.open(QIODevice::ReadWrite) && cut.seek(head.size() + 4) &&
                cut.write(head + "42\r\n") > 0 && cut.flush());
    EXPECT_TRUE(formatDiagFile(source, run->fileSystem(), {}, cut.fileName(), path("cut.txt"),
                               nullptr, 1 << 20, &*listed.Files.begin())
                    .lines.join(u'\n')
                    .contains(u"error=the file was cut short and written again"_s));
    // A record still being written past the size the file was opened with waits for the next run.
    auto growing = std::make_unique<FaultyFileSystem>();
    growing->before = [&](const QString &operation, const QString &) {
        QFile raw(path("diag_test.log"));
        if (operation == u"CreateTextFile"_s && raw.open(QIODevice::Append))
            raw.write(head + "4");
    };
    const auto grown = makeRun(u"grown"_s, std::move(growing));
    EXPECT_TRUE(formatDiagFile(source, grown->fileSystem(), {}, path("diag_test.log"),
                               path("grown.txt"), nullptr, 0)
                    .formatted);
    EXPECT_EQ(readFile("grown.txt").count('\n'), 2);

    writeServedProduct(0x00040000, false);
    const QStringList lines = fails(u"unregistered"_s, nullptr, "diag_test.log", "copy.txt");
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[1].startsWith(u"(error) in strFormatDiagFile on frmMain for file="_s +
                                    path("diag_test.log") +
                                    u", error=The diagnostic line formatter of Orvel cannot be "
                                    "created"_s))
        << lines[1].toStdString();
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
    QDir().mkpath(path("copies"));
    const DiagFormatOutcome outcome = formatDiagFile(
        source, grows, {}, raw, path("copies/diag_small_1.log.fmtd.txt"), nullptr, 64 * 1024);
    EXPECT_TRUE(outcome.formatted);
    EXPECT_FALSE(outcome.copy.has_value());
    reference::expectReferenceCopies(path("raw"), path("copies"));
}

// A raw file rotated while it is formatted (copied, cut to nothing, its writer going on where it
// was): what is read after the cut is the hole's zeros. No copy, one line.
TEST_F(DiagFormattingTest, ARawFileCutAndWrittenAgainWhileReadGivesNoCopy)
{
    const QString raw = path("diag_rotated.log");
    writeFile("diag_rotated.log", (head + "41\r\n").repeated(20000));
    struct Rotating : DiagLineFormatter {
        DiagLineFormatter *real = nullptr;
        std::function<void()> rotate;
        void beginFile(std::chrono::milliseconds limit) override { real->beginFile(limit); }
        std::vector<FormattedLine> FormatLines(const QStringList &lines) override
        {
            if (rotate)
                std::exchange(rotate, {})();
            return real->FormatLines(lines);
        }
        std::vector<FormattedLine> FormatFiles(const QStringList &lines,
                                               const std::vector<FileLines> &files) override
        {
            return real->FormatFiles(lines, files);
        }
    } rotating;
    rotating.real = &source();
    rotating.rotate = [&] {
        QFile file(raw);
        EXPECT_TRUE(file.resize(0) && file.open(QIODevice::ReadWrite) && file.seek(600000) &&
                    file.write("next\n") == 5);
    };
    const DiagFormatOutcome outcome =
        formatDiagFile([&]() -> DiagLineFormatter & { return rotating; }, run->fileSystem(), {},
                       raw, raw + u".fmtd.txt"_s, nullptr, 0);
    EXPECT_FALSE(outcome.formatted);
    EXPECT_EQ(outcome.lines.last(),
              u"(error) in strFormatDiagFile on frmMain for file="_s + raw +
                  u", error=the file was cut short and written again while it was read"_s);
}

// A formatter slow on every line: a file's time limit holds across its batches, rather than a
// batch's worth of time for each batch; and in a group of files, each file has its own, rather
// than the group the first file's.
TEST_F(DiagFormattingTest, TheTimeLimitHoldsForEachFile)
{
    useFaultyFormatter();
    const QByteArray slow = head + "534C4F57\r\n";
    writeFile("diag_slow.log", slow.repeated(12 * 256));
    const DiagFormatOutcome outcome =
        formatDiagFile(source, run->fileSystem(), {std::chrono::seconds(1), {}},
                       path("diag_slow.log"), path("diag_slow.log.fmtd.txt"));
    EXPECT_FALSE(outcome.formatted);
    EXPECT_TRUE(outcome.timedOut);
    ASSERT_GE(outcome.lines.size(), 2);
    EXPECT_TRUE(
        outcome.lines[1].endsWith(u"did not answer in time (1 s for this file) and was stopped"_s))
        << outcome.lines[1].toStdString();

    // Each well within its two seconds, a busy machine's slower sleeps included; all twelve not.
    for (int i = 10; i < 22; ++i)
        writeFile(u"group/diag_slow_%1.log"_s.arg(i), slow.repeated(250));
    for (const auto &formatted :
         formatGroup(path("group"), path("copies"), {std::chrono::seconds(2), {}}))
        EXPECT_TRUE(formatted->formatted) << formatted->lines.join(u'\n').toStdString();
}

} // namespace
