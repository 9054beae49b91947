#include "archive/LogCollection.h"

#include "support/ArchiveReader.h"
#include "support/Ending.h"
#include "support/FaultyFileSystem.h"
#include "support/ReadableCopyReference.h"

#include <QDir>
#include <QFile>

#include <atomic>
#include <mutex>
#include <thread>

namespace {

constexpr qint64 MiB = 1 << 20;
// "HANG": the test build of the stand-in's formatter spins on it for a minute.
const QByteArray hanging = "000001A2415F8683|0A3C|3|1|48414E47\r\n";

class FormattingAheadTest : public RunStepTest {
protected:
    void SetUp() override
    {
        TempEnvironment::SetUp();
        simulate({u"--data"_s, u"0"_s, u"--diag"_s, u"0"_s, u"--other"_s, u"0"_s, u"--library"_s,
                  builtFile(u"libOrvelFaultyComponents.so"_s)});
    }

    // The run over the logging folder; the run log's events.
    QStringList archiveRun(std::unique_ptr<FileSystem> fs = nullptr,
                           DiagFormatTimeLimit limit = DiagFormatTimeLimit())
    {
        const HangGuard guard(120);
        run.reset();
        start(std::move(fs));
        run->FormatTimeLimit = limit;
        EXPECT_EQ(endStatusOf([&] { ArchiveFiles(*run, host); }), std::nullopt);
        return logged();
    }

    // The diag_ files in the order the run takes them.
    QStringList diagFiles() const
    {
        QStringList names;
        for (const File &file : FileSystem().GetFolder(logs()).Files)
            if (file.Name().startsWith(u"diag_"_s))
                names << file.Name();
        return names;
    }

    QString logs() const { return path("orvel/logs"); }

    // The run itself is slow, so that the formatting would run far ahead if it could; `taken`
    // counts the files it has taken.
    void slowRun(std::atomic<int> &taken)
    {
        host.onProgress = [&] {
            if (host.unit == ProgressUnit::Files && host.value > taken) {
                taken = int(host.value);
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        };
    }
};

// However many files, and however large, the formatting runs ahead of the run within its bounds
// (512 files, 8 MiB beyond the few it always keeps ahead), never stalls, and every copy matches
// the reference.
TEST_F(FormattingAheadTest, LookAheadHoldsItsBoundsAndEveryCopyMatches)
{
    struct Case {
        int small;
        std::vector<qint64> large; // sizes of files among the small ones, spread evenly
        int stallAt = -1;          // its read stalls until the run has taken the files before it
    };
    const Case cases[] = {
        {511, {}},
        {512, {}},
        {513, {}},
        {1030, {}},
        {0, {8 * MiB + 1}},
        {20, {8 * MiB - 1, 8 * MiB, 8 * MiB + 1}},
        {0, std::vector<qint64>(12, MiB + 1)},
        {40, {}, 5},
    };
    const size_t alwaysAhead = std::max(std::thread::hardware_concurrency(), 1U) + 2;
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.small << " small files, " << c.large.size() << " large, the first of "
                     << (c.large.empty() ? 0 : c.large[0]));
        QDir(logs()).removeRecursively();
        QStringList names;
        const size_t all = size_t(c.small) + c.large.size();
        const size_t n = c.large.size();
        for (size_t i = 0, large = 0; i < all; ++i) {
            // First, between and last.
            const bool isLarge = large < n && i == (n == 1 ? all - 1 : large * (all - 1) / (n - 1));
            names << (isLarge ? u"filled_%1_%2"_s.arg(c.large[large++]).arg(i)
                              : u"small_%1"_s.arg(i));
        }
        reference::writeRawCases(logs(), names);
        const QStringList order = diagFiles();
        std::vector<qint64> bytes;
        for (const QString &name : order)
            bytes.push_back(QFileInfo(logs() + u"/"_s + name).size());

        std::atomic<int> taken = 0;
        slowRun(taken);
        std::mutex mutex;
        std::vector<QString> beyond;
        auto fs = std::make_unique<FaultyFileSystem>();
        fs->before = [&](const QString &operation, const QString &raw) {
            const auto k = size_t(order.indexOf(QFileInfo(raw).fileName()));
            if (operation != u"OpenTextFile"_s || k >= size_t(order.size()))
                return;
            for (int ms = 0; int(k) == c.stallAt && taken < c.stallAt && ms < 20000; ++ms)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (int(k) == c.stallAt && taken < c.stallAt) {
                const std::lock_guard lock(mutex);
                beyond.push_back(u"the files before %1 waited for its stalled read"_s.arg(k));
            }
            const size_t first = size_t(taken) + 1;
            qint64 ahead = 0;
            for (size_t i = first; i <= k; ++i)
                ahead += bytes[i];
            if (k > size_t(taken) + 512 || (k >= first + alwaysAhead && ahead > 8 * MiB)) {
                const std::lock_guard lock(mutex);
                beyond.push_back(
                    u"%1 with %2 taken, %3 bytes ahead"_s.arg(k).arg(taken).arg(ahead));
            }
        };
        archiveRun(std::move(fs));
        EXPECT_TRUE(beyond.empty()) << beyond.front().toStdString();
        reference::expectReferenceCopies(logs(), run->ZipFilePath);
        host.onProgress = nullptr;
    }
}

// Copies held ahead are bounded by what they hold, not by the sizes the listing saw: files that
// grew after the listing (here from a few hundred bytes to 60 KiB each) must not fill 512 slots.
TEST_F(FormattingAheadTest, CopiesHeldAheadAreBoundedByTheirOwnSize)
{
    const int count = 700;
    QStringList names;
    for (int i = 0; i < count; ++i)
        names << u"small_%1"_s.arg(i);
    reference::writeRawCases(logs(), names);
    reference::writeRawCases(path(u"grown"_s), {u"filled_61440"_s});
    QFile grownFile(path(u"grown/diag_filled_61440.log"_s));
    ASSERT_TRUE(grownFile.open(QIODevice::ReadOnly));
    const QByteArray grown = grownFile.readAll();
    const QStringList order = diagFiles();

    std::atomic<int> taken = 0;
    slowRun(taken);
    std::mutex mutex;
    std::vector<std::pair<int, int>> opened; // (file, files taken) as each file is read
    auto fs = std::make_unique<FaultyFileSystem>();
    fs->before = [&](const QString &operation, const QString &raw) {
        const int k = int(order.indexOf(QFileInfo(raw).fileName()));
        if (operation != u"OpenTextFile"_s || k < 0)
            return;
        QFile file(raw);
        if (file.size() < grown.size() && file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write(grown);
        const std::lock_guard lock(mutex);
        opened.emplace_back(k, int(taken));
    };
    archiveRun(std::move(fs));
    host.onProgress = nullptr;
    const auto content = readArchive(run->ZipFilePath);
    ASSERT_TRUE(content);
    const qint64 copy = content->at(order[0] + u".fmtd.txt"_s).size;
    ASSERT_GT(copy, 16 << 10);
    // The groups in flight (64 files on each worker) are not done yet; the files before them are
    // done and held, which was allowed only while what was held stayed within 8 MiB, plus what the
    // other workers' groups finished since.
    const int workers = int(std::max(std::thread::hardware_concurrency(), 1U));
    const int heldAtMost = int(8 * MiB / copy) + 1 + (workers - 1) * 64;
    int heldMost = 0;
    for (const auto &[k, takenThen] : opened)
        heldMost = std::max(heldMost, k - workers * 64 - takenThen);
    EXPECT_LE(heldMost, heldAtMost) << "copies of " << copy << " bytes";
    reference::expectReferenceCopies(logs(), run->ZipFilePath);
}

// A formatter that times out on three files in a row is given up: the files after it go in raw at
// once, with one line that says so, instead of a time limit's wait each. Files formatted between
// time-outs keep it in use.
TEST_F(FormattingAheadTest, AFormatterThatKeepsTimingOutIsGivenUp)
{
    const QByteArray fine = "000001A2415F8683|0A3C|3|1|41\r\n";
    // Enough files that the workers, one a core, cannot time out on them all at once.
    const int files = 2 * int(std::max(std::thread::hardware_concurrency(), 1U)) + 8;
    for (const bool everyFile : {true, false}) {
        QDir(logs()).removeRecursively();
        QDir().mkpath(logs());
        for (int i = 0; i < files; ++i)
            writeFile(u"orvel/logs/diag_%1.log"_s.arg(i), hanging);
        const QStringList order = diagFiles();
        if (!everyFile)
            for (int i = 2; i < order.size(); i += 3)
                writeFile(u"orvel/logs/"_s + order[i], fine);

        const QStringList lines =
            archiveRun(nullptr, {std::chrono::milliseconds(500), std::chrono::milliseconds(0)});
        const auto count = [&](const QString &text) {
            return std::count_if(lines.begin(), lines.end(),
                                 [&](const QString &line) { return line.contains(text); });
        };
        const qsizetype givenUp =
            std::find_if(lines.begin(), lines.end(),
                         [](const QString &line) { return line.contains(u"is not used for"_s); }) -
            lines.begin();
        const auto content = readArchive(run->ZipFilePath);
        ASSERT_TRUE(content);
        if (everyFile) {
            ASSERT_LT(givenUp, lines.size());
            EXPECT_EQ(count(u"is not used for the rest of this run"_s), 1);
            EXPECT_FALSE(lines.mid(givenUp + 1).join('\n').contains(u"did not answer in time"_s));
            EXPECT_LT(count(u"did not answer in time"_s), order.size() - 1);
            for (const QString &name : order)
                EXPECT_TRUE(content->count(name) &&
                            content->at(name).sha256 == fileDigest(logs() + u"/"_s + name))
                    << name.toStdString() << " goes in raw";
        } else {
            EXPECT_EQ(givenUp, lines.size());
            EXPECT_EQ(count(u"did not answer in time"_s), order.size() - order.size() / 3);
            EXPECT_EQ(content->count(order[2] + u".fmtd.txt"_s), 1u);
        }
    }
}

// The formatter helpers are started before any worker thread: the first file a worker opens
// finds them running.
TEST_F(FormattingAheadTest, HelpersStartBeforeTheWorkers)
{
    reference::writeRawCases(logs(), {u"small_1"_s, u"small_2"_s, u"small_3"_s});
    const std::thread::id main = std::this_thread::get_id();
    std::once_flag first;
    int helpers = -1;
    auto fs = std::make_unique<FaultyFileSystem>();
    fs->before = [&](const QString &, const QString &raw) {
        if (std::this_thread::get_id() != main && raw.contains(u"diag_"_s))
            std::call_once(first, [&] { helpers = int(childrenNamed("sorvik-diag-fo").size()); });
    };
    archiveRun(std::move(fs));
    EXPECT_GE(helpers, 1);
}

} // namespace
