#include "archive/ArchiveDelivery.h"

#include "archive/OurArchives.h"
#include "support/FaultyFileSystem.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QThread>

#include <fcntl.h>
#include <filesystem>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/wait.h>

#include <unistd.h>

namespace {

using namespace ourArchives;

// Named like a placeholder: each failure tells it as it is.
const QString folder = u"ar%1x"_s;

class ArchiveDeliveryTest : public RunStepTest {
protected:
    // A run whose archive is built, keeping this computer's archives for 7 days.
    void start(std::unique_ptr<FileSystem> fileSystem = nullptr)
    {
        RunStepTest::start(std::move(fileSystem));
        run->ZipFilePath = path("program/ZIPS/") + name;
        run->ArchiveMade = true;
        run->Options = ArchiveOptions{QString(), 7, 0};
        writeFile("program/ZIPS/" + name, archiveBytes);
        QDir(path(folder)).removeRecursively();
        QDir().mkpath(path(folder));
        host.folder = at(QString());
        // As the run's checks found it.
        run->ArchiveFolderChecked = host.folder;
        run->ArchiveFolderFound = run->fileSystem().IdentifyFolder(host.folder);
    }

    QString at(const QString &file) const { return path(folder + u"/"_s + file); }
    QStringList archiveFolder() const
    {
        return QDir(path(folder))
            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden,
                       QDir::Name);
    }

    const QByteArray archiveBytes = QByteArray(300000, 'Z') + "end";
};

// The archive is copied under its own name, the source kept; a name taken before or during the
// copy is never replaced; a copy that is damaged or asked to stop part-way leaves nothing behind;
// each failure is one "(error)" line that says why. An old archive goes only once this one is
// delivered in a run without errors; a folder that cannot be listed for them is a warning.
TEST_F(ArchiveDeliveryTest, EachOutcomeLeavesTheFolderAsItShould)
{
    const auto afterCopy = [](std::function<void(QFile &)> change) {
        return [change](FaultyFileSystem &fs) {
            fs.afterCopy = [change](const QString &, const QString &copy) {
                QFile file(copy);
                change(file);
            };
        };
    };
    const QString failed = u"(error) in CopyArchiveToTargetFolder on frmMain:"_s;
    const QString taken =
        u"(error) a file already exists in the target folder for that file name."_s;
    // Beside one that stays: the newest earlier archive within the 7 days.
    const QString old = ours("200101_00_00_00"), recent = ours("261203_10_00_00");
    const struct {
        const char *what;
        std::function<void(FaultyFileSystem &)> setUp;
        QByteArray left; // at the archive's name in the folder; null: nothing there at all
        QString line;    // the run log's last line holds it
    } cases[] = {
        // A folder restored from a hand-written setting may lack its separator.
        {"copied", [&](FaultyFileSystem &) { host.folder = path(folder); }, archiveBytes,
         u"    Removed old archive (older than 7 days):"_s + at(old)},
        {"the name taken", [&](FaultyFileSystem &) { writeFile(folder + u"/"_s + name, "taken"); },
         "taken", taken},
        // Not seen by the check before the copy: the name is found taken at the move.
        {"a dangling link at the name",
         [&](FaultyFileSystem &) { QFile::link(path("nowhere"), path(folder + u"/"_s + name)); },
         "", taken},
        {"appears meanwhile",
         afterCopy([&](QFile &) { writeFile(folder + u"/"_s + name, "meanwhile"); }), "meanwhile",
         taken},
        {"damaged",
         afterCopy([](QFile &copy) { copy.open(QIODevice::ReadWrite) && copy.write("damage"); }),
         {},
         failed + u"the copy at "_s + at(u".LOG_Archive_"_s)},
        {"asked to stop",
         [&](FaultyFileSystem &) {
             host.onProgress = [&] {
                 EXPECT_EQ(host.unit, ProgressUnit::CopiedBytes);
                 run->requestCancel();
             };
         },
         {},
         u"Operation canceled"_s},
        {"the archive gone",
         [&](FaultyFileSystem &) { QFile::remove(run->ZipFilePath); },
         {},
         path("program/ZIPS/") + name},
        {"not made, unsaid",
         [&](FaultyFileSystem &) { run->ArchiveMade = false; },
         {},
         u"(error) no archive was made - none is delivered."_s},
        {"an error before",
         [&](FaultyFileSystem &) { run->runLog().WriteLogLine(u"(error) before"_s); }, archiveBytes,
         u"    Old archives are kept: this run counted errors."_s},
        // Chosen in the window after the run's checks.
        {"a working folder meanwhile",
         [&](FaultyFileSystem &) {
             QDir().mkpath(path("program/ZIPS/x")), host.folder = path("program/ZIPS/x/");
         },
         {},
         u"own working folders"_s},
        {"the folder cannot be listed", [](FaultyFileSystem &fs) { fs.failOn(u"GetFolder"_s); },
         archiveBytes, u"(warning) could not look for old archives in the archive folder: "_s},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        auto fs = std::make_unique<FaultyFileSystem>();
        FaultyFileSystem &faulty = *fs;
        host.onProgress = nullptr;
        start(std::move(fs));
        writeFile(folder + u"/"_s + old, "old");
        writeFile(folder + u"/"_s + recent, "recent");
        c.setUp(faulty);
        CopyArchiveToTargetFolder(*run, host);
        const bool delivered = c.left == archiveBytes, oldGone = c.line.endsWith(old);
        QStringList left = oldGone ? QStringList{recent} : QStringList{old, recent};
        if (!c.left.isNull()) {
            left << name;
            EXPECT_EQ(readFile(folder + u"/"_s + name), c.left);
        }
        EXPECT_EQ(archiveFolder(), left);
        const QStringList lines = logged();
        ASSERT_FALSE(lines.isEmpty());
        EXPECT_TRUE(lines.last().contains(c.line)) << lines.last().toStdString();
        EXPECT_EQ(run->runLog().ErrorCount(),
                  delivered && !lines.contains(u"(error) before"_s) ? 0 : 1);
        EXPECT_EQ(lines.filter(u"File copied"_s).size(), delivered ? 1 : 0);
        if (oldGone) {
            EXPECT_EQ(lines, (QStringList{u"    Moving ZIP file archive from :"_s +
                                              run->ZipFilePath + u" to destination:"_s + at(name),
                                          u"    File copied"_s, c.line}));
            EXPECT_TRUE(QFile::exists(run->ZipFilePath)) << "the source stays";
        }
    }
}

// A folder moved away after the run's checks found it, and replaced by a link to another folder,
// is not delivered into: before the copy, or after it, before the move. Nor are old archives
// removed from it once the archive went to the folder checked.
TEST_F(ArchiveDeliveryTest, AFolderReplacedAfterTheChecksIsNotDeliveredInto)
{
    const QString old = ours("200101_00_00_00");
    for (const int when : {0, 1, 2}) { // before the copy, before the move, before old ones go
        auto fs = std::make_unique<FaultyFileSystem>();
        FaultyFileSystem &faulty = *fs;
        start(std::move(fs));
        QDir(path("moved")).removeRecursively();
        writeFile("elsewhere/" + old, "x");
        const auto replace = [&] {
            QDir().rename(path(folder), path("moved"));
            QFile::link(path("elsewhere"), path(folder));
        };
        int copies = 0;
        faulty.before = [&, sums = 0, lists = 0](const QString &operation,
                                                 const QString &) mutable {
            copies += operation == u"CopyFile"_s;
            if ((when == 1 && operation == u"FileChecksum"_s && ++sums == 2) ||
                (when == 2 && operation == u"GetFolder"_s && ++lists == 2))
                replace();
        };
        if (when == 0)
            replace();
        CopyArchiveToTargetFolder(*run, host);
        EXPECT_TRUE(QDir(path("elsewhere")).entryList(QDir::Files) == QStringList{old} &&
                    copies == (when > 0 ? 1 : 0))
            << when << " nothing is copied or removed through the link";
        EXPECT_TRUE(logged().last().contains(when == 2
                                                 ? u"no longer the folder the archive went"_s
                                                 : u"is no longer the folder the run checked"_s))
            << logged().last().toStdString();
        EXPECT_EQ(run->runLog().ErrorCount(), when == 2 ? 0 : 1);
        QFile::remove(path(folder));
    }
}

TEST_F(ArchiveDeliveryTest, CopiesLeftByKilledRunsOfThisComputerAreRemoved)
{
    start();
    // The fields of a process's status from the third on: its state, and when it started (22nd).
    const auto status = [](qint64 process) {
        QFile stat(u"/proc/%1/stat"_s.arg(process));
        const QByteArray all = stat.open(QIODevice::ReadOnly) ? stat.readAll() : QByteArray();
        return all.mid(all.lastIndexOf(')') + 2).split(' ');
    };
    const qint64 pid = ::getpid(), start = status(pid)[19].toLongLong();
    // A run killed, its parent yet to take its end: a zombie, gone all the same.
    const pid_t zombie = ::fork();
    if (zombie == 0)
        ::_exit(0);
    const auto reap = qScopeGuard([&] { ::waitpid(zombie, nullptr, 0); });
    for (int wait = 0; wait < 10000 && status(zombie).value(0) != "Z"; ++wait)
        QThread::msleep(1);
    // A copy left by a killed run, and the empty file by which one had already claimed its final
    // name (where renames may replace, as on a share).
    const QStringList dead = {
        u".LOG_Archive_SRV01_261203_01_02_03.ZIP.partial-999999999-0123abcd"_s,
        u".LOG_Archive_SRV01_261203_01_02_04.ZIP.partial-999999998-0123abcd"_s,
        // Its process id since given to another program; to this one (its start tells).
        u".LOG_Archive_SRV01_261203_01_02_05.ZIP.partial-1-0123abcd"_s,
        u".LOG_Archive_SRV01_261203_01_02_06.ZIP.partial-%1-%2-0123abcd"_s.arg(pid).arg(start + 1),
        u".LOG_Archive_SRV01_261203_01_02_10.ZIP.partial-%1-%2-0123abcd"_s.arg(zombie).arg(
            QString::fromLatin1(status(zombie)[19])),
        u"LOG_Archive_SRV01_261203_01_02_04.ZIP"_s};
    QStringList kept = {
        // Still being written by a live process (this one).
        u".LOG_Archive_SRV01_261203_01_02_03.ZIP.partial-%1-0123abcd"_s.arg(pid),
        u".LOG_Archive_SRV01_261203_01_02_06.ZIP.partial-%1-%2-0123abcd"_s.arg(pid).arg(start),
        // Another computer's, on a shared folder, even one whose name begins alike.
        u".LOG_Archive_OTHER_261203_01_02_03.ZIP.partial-999999999-0123abcd"_s,
        u".LOG_Archive_SRV01_B_261203_01_02_03.ZIP.partial-999999999-0123abcd"_s,
        u".LOG_Archive_SRV01_261203_01_02_07.ZIP.partial-999999999-0123abcd\n"_s,
        u"LOG_Archive_SRV01_261203_01_02_03.ZIP"_s,
        u".LOG_Archive_SRV01_261399_99_99_99.ZIP.partial-999999999-0123abcd"_s, // no real date
        // Dead, but read-only, or with a second name: kept, and said.
        u".LOG_Archive_SRV01_261203_01_02_09.ZIP.partial-999999999-0123abcd"_s,
        u".LOG_Archive_SRV01_261203_01_02_08.ZIP.partial-999999999-0123abcd"_s};
    for (const QString &file : kept + dead)
        writeFile(folder + u"/"_s + file, file == dead.last() ? "" : "x");
    std::filesystem::create_hard_link(at(kept.last()).toStdString(), path("second").toStdString());
    QFile::setPermissions(at(kept[kept.size() - 2]), QFile::ReadOwner);
    CopyArchiveToTargetFolder(*run, host);
    const QStringList warned = logged().filter(u"(warning) 2 of the copies killed runs left"_s);
    EXPECT_TRUE(warned.size() == 1 && warned[0].contains(at(kept.last())) &&
                warned[0].contains(at(kept[kept.size() - 2])))
        << warned.join(u'\n').toStdString();
    kept << name;
    kept.sort();
    EXPECT_EQ(archiveFolder(), kept);
    EXPECT_EQ(logged().filter(u"Removed the copy a killed run left:"_s).size(), dead.size());
}

// Old archives go from the folder that was listed, wherever its path leads by then, and only this
// account's with one name: a folder others write in may hold look-alikes, which are not counted
// either (newer ones would take our places among the newest kept).
TEST_F(ArchiveDeliveryTest, OldArchivesGoOnlyFromTheFolderListedAndOnlyOurOwn)
{
    auto faulty = std::make_unique<FaultyFileSystem>();
    faulty->before = [&, swapped = false](const QString &op, const QString &) mutable {
        if (op == u"DeleteFile"_s && !std::exchange(swapped, true)) {
            ASSERT_TRUE(QDir().rename(path(folder), path("moved")) &&
                        QFile::link(path("elsewhere"), path(folder)));
        }
    };
    start(std::move(faulty));
    run->Options.KeepCount = 3;
    const QString old = ours("200101_00_00_00"), named = ours("261203_12_00_00"),
                  theirs = ours("261203_11_00_00"), recent = ours("261203_10_00_00"),
                  earlier = ours("261202_10_00_00");
    for (const QString &file :
         {folder + u"/"_s + old, u"elsewhere/"_s + old, u"twice"_s, folder + u"/"_s + theirs,
          folder + u"/"_s + recent, folder + u"/"_s + earlier})
        writeFile(file, "x");
    std::filesystem::create_hard_link(path("twice").toStdString(), at(named).toStdString());
    const bool root = ::chown(QFile::encodeName(at(theirs)).constData(), 65534, 65534) == 0;
    CopyArchiveToTargetFolder(*run, host);
    EXPECT_EQ(QDir(path("moved")).entryList(QDir::Files, QDir::Name),
              root ? QStringList({earlier, recent, theirs, named, name})
                   : QStringList({earlier, recent, named, name}));
    EXPECT_TRUE(QFile::exists(path("elsewhere/") + old));
    EXPECT_EQ(logged()
                  .filter(u"(warning) "_s + (root ? u"2"_s : u"1"_s) +
                          u" of the files named like this computer's archives belong to another "
                          "account or have a second name; they are kept and not counted: "_s +
                          (root ? theirs + u", "_s + named : named))
                  .size(),
              1);
}

// A folder or a link by an old archive's name is no archive; a read-only archive is one somebody
// chose to keep (the others still go), archives dated in the future ones nobody can judge: a
// warning each (one for all of the future), and the run is not failed for it.
TEST_F(ArchiveDeliveryTest, OnlyThisComputersOldArchivesGoEachWithItsLine)
{
    clockTime = QDateTime(today, QTime(0, 0, 1));
    start();
    const QStringList future{ours("270101_00_00_00"), ours("991231_23_59_59")};
    const QString immutable = ours("261102_10_00_00"), readOnly = ours("261101_10_00_00");
    for (const QString &archive : notOurs + future +
                                      QStringList{ours("261126_10_00_00"), ours("261127_10_00_00"),
                                                  immutable, readOnly, ours("261001_10_00_00")})
        writeFile(folder + u"/"_s + archive, "x");
    QDir().mkpath(at(ours("200101_00_00_00")));
    ASSERT_EQ(::symlink("LOG_Archive_SRV01_261127_10_00_00.ZIP",
                        QFile::encodeName(at(ours("200101_00_00_01"))).constData()),
              0);
    QFile::setPermissions(at(readOnly), QFile::ReadOwner);
    // Read-only as the system means it, where it can be set (root, a file system that keeps it):
    // the immutable attribute, which stops even root.
    const int fd = ::open(QFile::encodeName(at(immutable)).constData(), O_RDONLY);
    int flags = 0;
    const bool kept = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                      (flags |= FS_IMMUTABLE_FL, ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
    const auto undo = qScopeGuard([&] {
        flags &= ~FS_IMMUTABLE_FL;
        ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
        ::close(fd);
    });
    CopyArchiveToTargetFolder(*run, host);

    QStringList expected = notOurs + future +
                           QStringList{ours("261127_10_00_00"), readOnly, ours("200101_00_00_00"),
                                       ours("200101_00_00_01"), name};
    if (kept)
        expected << immutable;
    expected.sort();
    EXPECT_EQ(archiveFolder(), expected);
    const QStringList lines = logged();
    ASSERT_EQ(lines.size(), 7) << lines.join('\n').toStdString();
    EXPECT_EQ(lines[2], u"(warning) 2 of this computer's archives are dated later than now (was "
                        "the clock once set forward?); they are kept and not counted: "_s +
                            future.join(u", "_s));
    const QString removed = u"    Removed old archive (older than 7 days):"_s + at(QString());
    const auto refused = [&](const QString &line, const QString &archive, const QString &why) {
        return line.startsWith(u"(warning) could not remove the old archive "_s + at(archive) +
                               u": "_s) &&
               line.endsWith(why);
    };
    EXPECT_EQ(lines[3], removed + ours("261126_10_00_00"));
    EXPECT_TRUE(kept ? refused(lines[4], immutable, u"Operation not permitted"_s)
                     : lines[4] == removed + immutable)
        << lines[4].toStdString();
    EXPECT_TRUE(refused(lines[5], readOnly, u"it is read-only (kept as somebody's choice)"_s))
        << lines[5].toStdString();
    EXPECT_EQ(lines[6], removed + ours("261001_10_00_00")) << "the others still go";
    EXPECT_EQ(run->runLog().ErrorCount(), 0);
}

} // namespace
