// Every file operation a whole run makes, made to fail one at a time (or a write cut short, or the
// process stopped there by a signal, or by two at once), through a preloaded library that counts
// and strikes the program's calls into the C library. Whatever happens, one promise holds: status 0
// only when the delivered archive holds every entry of a run without faults, byte for byte;
// otherwise status 1 and an "(error)" line; never a damaged file under an archive's final name; and
// nothing left behind that the next run does not remove.
#include "support/ArchiveReader.h"
#include "support/ProcessFixture.h"

#include <QRandomGenerator>

#include <cerrno>
#include <map>
#include <set>

namespace {

// The operations the matrix knows how to strike, and the error each fails with. A run that uses
// another one the shim counts fails the matrix until it is covered here.
const std::map<QString, int> failureOf = [] {
    std::map<QString, int> failures;
    for (const auto &[error, names] : {std::pair{EACCES, "open fopen opendir rename link unlink"},
                                       {ENOSPC, "mkstemp write fwrite mkdir copy_file_range"},
                                       {EIO, "read fread large_write fclose close fsync"},
                                       {EAGAIN, "pthread_create"},
                                       {EPERM, "fchmod"}})
        for (const QString &name : QString::fromLatin1(names).split(u' '))
            failures[name] = error;
    return failures;
}();

struct Fault {
    QString operation;
    unsigned long call = 0;
    QString action; // fail, short, term, kill, flip
    int error = 0;
};

class FaultMatrixTest : public ProcessTest {
protected:
    void SetUp() override
    {
        ProcessTest::SetUp();
        if (sanitized)
            GTEST_SKIP() << "the sanitizer's runtime must come first; the ordinary build runs this";
        simulate({u"--data"_s, u"3"_s, u"--diag"_s, u"2"_s, u"--other"_s, u"1"_s});
        // One log larger than a read block, so that its entry takes many reads and writes.
        QByteArray large(3 << 20, Qt::Uninitialized);
        for (char &byte : large)
            byte = char('a' + QRandomGenerator::global()->bounded(4));
        writeFile("orvel/logs/data_large.log", large);
        QDir().mkpath(path("archive"));
        storeArchiveFolder(path("archive/"));

        // The run without faults: what every run must deliver, and what it does to get there.
        const Outcome clean = runWith({});
        ASSERT_EQ(clean.status, 0) << clean.errors.toStdString();
        const auto archives = finalArchives();
        ASSERT_EQ(archives.size(), 1);
        const auto content = readArchive(path("archive/") + archives.first());
        ASSERT_TRUE(content);
        reference = *content;
        ASSERT_EQ(reference.size(), 6u);
        for (const QString &line : QString::fromLatin1(readFile("counts.txt")).split('\n')) {
            const QStringList words = line.split(' ');
            if (words.size() == 2 && words[1].toULong() > 0)
                counts[words[0]] = words[1].toULong();
        }
        // A library that hears nothing (an exit it does not know) would make the matrix empty.
        ASSERT_TRUE(counts.count(u"write"_s) && counts.count(u"rename"_s))
            << readFile("counts.txt").toStdString();
        // Nothing of the run's is named before it is on the disk, and the delivered name is on the
        // disk before the run ends: a crash must leave no hollow file under a final name, nor lose
        // the old archives (removed after delivery) and the new one together.
        std::set<QString> synced;
        QString unsynced;
        for (const QString &line : QString::fromLocal8Bit(readFile("journal.txt")).split('\n')) {
            const QStringList event = line.split('\t');
            if (event[0] == u"sync"_s) {
                synced.insert(event[1]);
                if (event[1] == unsynced)
                    unsynced.clear();
            } else if (event[0] == u"move"_s && event[2].startsWith(path(u""_s) + u'/')) {
                EXPECT_TRUE(synced.count(event[1]))
                    << "named before it was on the disk: " << line.toStdString();
                if (event[2].startsWith(path("archive/")))
                    unsynced = path("archive");
            }
        }
        EXPECT_TRUE(unsynced.isEmpty() && synced.count(path("archive")));
        clearArchiveFolder();
    }

    // A run with the library preloaded, its counts in counts.txt, `fault` struck.
    Outcome runWith(const Fault &fault) const
    {
        return runThrough(
            u"LD_PRELOAD='%1' SORVIK_FAULT_COUNTS='%2' SORVIK_FAULT_OP=%3 SORVIK_FAULT_AT=%4 "
            "SORVIK_FAULT_ACTION=%5 SORVIK_FAULT_ERRNO=%6 SORVIK_FAULT_JOURNAL='%7'"_s
                .arg(builtFile(u"libsorvik_faultshim.so"_s), path("counts.txt"), fault.operation)
                .arg(fault.call)
                .arg(fault.action)
                .arg(fault.error)
                .arg(path("journal.txt")),
            // A run that hangs fails with its fault named, long before the test's own limit.
            {u"/Silent"_s}, {}, 90000);
    }

    QStringList archiveFolder() const
    {
        return QDir(path("archive")).entryList(QDir::Files | QDir::Hidden);
    }
    QStringList finalArchives() const
    {
        return QDir(path("archive")).entryList({u"LOG_Archive_*.ZIP"_s}, QDir::Files);
    }
    void clearArchiveFolder() const
    {
        for (const QString &name : finalArchives())
            QFile::remove(path("archive/") + name);
    }

    // Points spread over the calls of one operation: the first, the last, and one between (a third
    // of the way, or two thirds where a third is still the first).
    static std::set<unsigned long> pointsOf(unsigned long count)
    {
        return {1, count / 3 > 1 ? count / 3 : std::max(1ul, 2 * count / 3), count};
    }

    void check(const Fault &fault)
    {
        SCOPED_TRACE(u"%1 #%2 %3 %4"_s.arg(fault.operation)
                         .arg(fault.call)
                         .arg(fault.action)
                         .arg(fault.error)
                         .toStdString());
        const Outcome outcome = runWith(fault);
        const QString said = runLogText() + QString::fromLocal8Bit(outcome.errors);
        // Ended by a signal: asked for, or the toolkit giving up before any run began (it cannot
        // start without reading its plugins).
        const bool killed = outcome.status == -1;
        const bool twice = fault.action == u"twice"_s, cutShort = killed || twice;
        if (killed) {
            if (fault.action != u"kill"_s && fault.action != u"term"_s && !twice) {
                EXPECT_TRUE(runLogText().isEmpty() && finalArchives().isEmpty())
                    << said.toStdString();
            }
        } else if (outcome.status == 0) {
            EXPECT_FALSE(said.contains(u": (error)"_s)) << "status 0 with errors";
        } else if (outcome.status == 1) {
            EXPECT_TRUE(said.contains(u": (error)"_s)) << "status 1 without an (error) line";
        } else {
            EXPECT_EQ(outcome.status, 2) << said.toStdString(); // refused before any run, and told
        }
        if (outcome.status == 2) {
            EXPECT_FALSE(outcome.errors.isEmpty());
        }
        // An archive that was not made is said once: no move of it follows, to fail again.
        EXPECT_FALSE(said.contains(u"no archive is delivered"_s) &&
                     said.contains(u"Moving ZIP file archive"_s));
        // Stopped again before the first stop was handled: ended there and then, saying so alone.
        // (Status 0: the run made fewer calls than the run without faults, and none was struck.)
        if (twice && outcome.status > 0) {
            EXPECT_EQ(outcome.status, 1);
            EXPECT_EQ(QString::fromUtf8(outcome.errors),
                      u"Sorvik: (error) asked to stop again before the first stop was done: ended "
                      "at once, without finishing the run log\n"_s);
        }

        // Whatever stands under an archive's final name is a whole archive; status 0 means the
        // whole archive.
        const QStringList delivered = finalArchives();
        for (const QString &name : delivered) {
            const auto content = readArchive(path("archive/") + name);
            ASSERT_TRUE(content) << "a damaged archive under its final name: "
                                 << name.toStdString();
            if (outcome.status == 0) {
                EXPECT_EQ(*content, reference) << "status 0 without every entry";
            }
        }
        if (outcome.status == 0) {
            EXPECT_EQ(delivered.size(), 1) << said.toStdString();
        }
        // Nor in the program's own folder, where a run cut short leaves the archive it began with
        // (without entries) or the whole one, never a piece of it.
        for (const QString &name :
             QDir(path("program/ZIPS")).entryList({u"*.ZIP"_s}, QDir::Files)) {
            const auto content = readArchive(path("program/ZIPS/") + name);
            EXPECT_TRUE(content && (!cutShort || content->empty() || *content == reference))
                << name.toStdString();
        }
        if (!cutShort) {
            for (const QString &name : archiveFolder())
                EXPECT_FALSE(name.contains(u".partial-"_s)) << name.toStdString();
        }

        // A kill once its log is open is heard: in its own outcome, or else from the next run.
        const QStringList logs = QDir(path("program/logs")).entryList(QDir::Files);
        const QByteArray log = killed && !logs.isEmpty()
                                   ? QFile::encodeName(path(u"program/logs/"_s + logs[0]))
                                   : QByteArray();
        const bool recorded = readFile("state/sorvik/last-run.json").contains('"' + log + '"');

        // The next run without faults completes and leaves nothing of this one.
        clearArchiveFolder();
        const Outcome next = runWith({});
        if (!log.isEmpty()) {
            EXPECT_NE(recorded, next.errors.contains("; its run log: " + log + '\n'));
        }
        EXPECT_EQ(next.status, 0) << next.errors.toStdString() << runLogText().toStdString();
        EXPECT_EQ(archiveFolder().size(), 1) << archiveFolder().join(' ').toStdString();
        EXPECT_EQ(QDir(path("program/ZIPS")).entryList(QDir::Files | QDir::Hidden).size(), 1);
        EXPECT_TRUE(
            QDir(path("program/TempDiags")).entryList(QDir::Files | QDir::Hidden).isEmpty());
        clearArchiveFolder();
        QDir(path("program/logs")).removeRecursively();
    }

    ArchiveContent reference;
    std::map<QString, unsigned long> counts;
};

TEST_F(FaultMatrixTest, EveryOperationThatFailsCostsAnErrorNeverTheArchive)
{
    for (const auto &[operation, count] : counts)
        EXPECT_TRUE(failureOf.count(operation))
            << "the run now uses " << operation.toStdString() << ": add it to the matrix";
    for (const auto &[operation, count] : counts) {
        if (!failureOf.count(operation))
            continue;
        for (const unsigned long call : pointsOf(count))
            check({operation, call, u"fail"_s, failureOf.at(operation)});
    }
    for (const QString &operation : {u"write"_s, u"large_write"_s, u"fwrite"_s})
        if (counts.count(operation))
            for (const unsigned long call : pointsOf(counts.at(operation)))
                check({operation, call, u"short"_s, 0});
    // A copy the disk took and kept otherwise.
    for (const unsigned long call : pointsOf(counts.at(u"copy_file_range"_s)))
        check({u"copy_file_range"_s, call, u"flip"_s, 0});
}

TEST_F(FaultMatrixTest, AStopOrAKillAnywhereLeavesNothingTheNextRunKeeps)
{
    for (const QString &action : {u"term"_s, u"twice"_s, u"kill"_s})
        for (const QString &operation : {u"open"_s, u"write"_s, u"large_write"_s, u"fwrite"_s,
                                         u"rename"_s, u"copy_file_range"_s, u"fsync"_s})
            if (counts.count(operation))
                for (const unsigned long call : pointsOf(counts.at(operation)))
                    check({operation, call, action, 0});
}

} // namespace
