#include "archive/ArchiveRetention.h"

#include "archive/ArchiveDelivery.h"
#include "support/FaultyFileSystem.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>

#include <unistd.h>

namespace {

const QString delivered = u"LOG_Archive_SRV01_261204_14_05_09.ZIP"_s;
const QDate today(2026, 12, 4);
const QDateTime now(today, QTime(14, 5, 9));

QString ours(const char *stamp)
{
    return u"LOG_Archive_SRV01_"_s + QLatin1String(stamp) + u".ZIP"_s;
}

// What a folder shared by several computers holds beside this computer's archives: none of it is
// ever removed, however old.
const QStringList notOurs = {
    u"LOG_Archive_SRV02_200101_01_02_03.ZIP"_s,
    u"LOG_Archive_SRV01_B_200101_01_02_03.ZIP"_s,
    u"LOG_Archive_srv01_200101_01_02_03.ZIP"_s,
    u"LOG_Archive_SRV01_200101_01_02_03.zip"_s,
    u"LOG_Archive_SRV01_200101_01_02_03.ZIP.bak"_s,
    u"xLOG_Archive_SRV01_200101_01_02_03.ZIP"_s,
    u"LOG_Archive_SRV01_2001010_01_02_03.ZIP"_s,
    u"LOG_Archive_SRV01_200101_01_02.ZIP"_s,
    u"LOG_Archive_SRV01_201301_01_02_03.ZIP"_s,      // a 13th month
    u"LOG_Archive_SRV01_200101_24_00_00.ZIP"_s,      // hour 24
    u"LOG_Archive_SRV01_20010\u0661_01_02_03.ZIP"_s, // an Arabic-Indic digit
    u".LOG_Archive_SRV01_200101_01_02_03.ZIP.partial-1-0123abcd"_s,
    u"LOG_Archive__200101_01_02_03.ZIP"_s,
};

// The day boundary is the run logs' rule: calendar days from the date in the name to today, the
// times of day aside, and more than N goes. At most M: the newest by the names' stamps, this
// run's archive always one of them, even when it is not the newest (a clock set back). Archives
// dated later than now (a clock once set forward) neither go nor hold places.
//
// Against those rules applied archive by archive: stamps at the first and last second of the
// days around each age limit, within seconds of each other today, a century apart and in the
// future, under every limit from none to more than there are, listed in either order.
TEST(ArchiveRetention, WhichArchivesGo)
{
    std::vector<std::pair<QDateTime, QString>> past; // made, name: newest first
    QStringList names{delivered}, future;
    for (const int daysAgo : {9, 8, 7, 6, 1, 0})
        for (const QTime time : {QTime(0, 0), QTime(0, 0, 1), QTime(23, 59, 59)})
            past.push_back({QDateTime(today.addDays(-daysAgo), time), QString()});
    past.push_back({QDateTime(QDate(2000, 1, 1), QTime(0, 0)), QString()});
    for (auto &[made, name] : past)
        name = ours(made.toString(u"yyMMdd_HH_mm_ss"_s).toLatin1().constData());
    std::erase_if(past, [&](const auto &archive) {
        if (archive.first > now)
            future << archive.second;
        return archive.first > now;
    });
    future << ours("270101_00_00_00") << ours("991231_23_59_59");
    future.sort();
    std::sort(past.begin(), past.end(), std::greater<>());
    for (const auto &archive : past)
        names << archive.second;
    names << future << notOurs;
    for (const int days : {0, 1, 6, 7, 8}) {
        for (const int count : {0, 1, 2, 3, 5, 30}) {
            QStringList expected;
            for (size_t i = 0; i < past.size(); ++i)
                if ((count > 0 && i + 1 >= size_t(count)) ||
                    (days > 0 && past[i].first.date().daysTo(today) > days))
                    expected << past[i].second;
            expected.sort();
            for (const QStringList &listed : {names, QStringList(names.crbegin(), names.crend())}) {
                const RetentionPlan plan =
                    archivesToRemove(listed, u"SRV01"_s, delivered, now, days, count);
                QStringList removed;
                for (const ArchiveRemoval &removal : plan.removals)
                    removed << removal.name;
                removed.sort();
                EXPECT_EQ(removed, expected) << days << " days, " << count;
                EXPECT_EQ(plan.future, future);
            }
        }
    }
    // This run's archive is never among them, even when it is the oldest of all.
    const QString old = ours("200101_00_00_00");
    EXPECT_TRUE(archivesToRemove({old}, u"SRV01"_s, old, now, 1, 1).removals.empty());
}

class ArchiveRetentionTest : public RunStepTest {
protected:
    void deliver(std::unique_ptr<FileSystem> fileSystem = nullptr)
    {
        start(std::move(fileSystem));
        run->ZipFilePath = path("program/ZIPS/") + delivered;
        writeFile("program/ZIPS/" + delivered, "the archive");
        run->Options = options;
        host.folder = path("archive/");
        if (before)
            before(*run);
        CopyArchiveToTargetFolder(*run, host);
    }
    QStringList archiveFolder() const
    {
        return QDir(path("archive"))
            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden,
                       QDir::Name);
    }

    ArchiveOptions options{QString(), 7, 0};
    std::function<void(::Run &)> before;
};

// A folder or a link by an old archive's name is no archive; a read-only archive is one somebody
// chose to keep (the others still go), archives dated in the future ones nobody can judge: a
// warning each (one for all of the future), and the run is not failed for it.
TEST_F(ArchiveRetentionTest, OnlyThisComputersOldArchivesGoEachWithItsLine)
{
    const QStringList future{ours("270101_00_00_00"), ours("991231_23_59_59")};
    const QString immutable = ours("261102_10_00_00"), readOnly = ours("261101_10_00_00");
    for (const QString &name : notOurs + future +
                                   QStringList{ours("261126_10_00_00"), ours("261127_10_00_00"),
                                               immutable, readOnly, ours("261001_10_00_00")})
        writeFile("archive/" + name, "x");
    QDir().mkpath(path("archive/") + ours("200101_00_00_00"));
    ASSERT_EQ(::symlink("LOG_Archive_SRV01_261127_10_00_00.ZIP",
                        QFile::encodeName(path("archive/") + ours("200101_00_00_01")).constData()),
              0);
    QFile::setPermissions(path("archive/") + readOnly, QFile::ReadOwner);
    // Read-only as the system means it, where it can be set (root, a file system that keeps it):
    // the immutable attribute, which stops even root.
    const int fd = ::open(QFile::encodeName(path("archive/") + immutable).constData(), O_RDONLY);
    int flags = 0;
    const bool kept = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                      (flags |= FS_IMMUTABLE_FL, ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
    const auto undo = qScopeGuard([&] {
        flags &= ~FS_IMMUTABLE_FL;
        ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
        ::close(fd);
    });
    clockTime = QDateTime(today, QTime(0, 0, 1));
    deliver();

    QStringList expected = notOurs + future +
                           QStringList{ours("261127_10_00_00"), readOnly, ours("200101_00_00_00"),
                                       ours("200101_00_00_01"), delivered};
    if (kept)
        expected << immutable;
    expected.sort();
    EXPECT_EQ(archiveFolder(), expected);
    const QStringList lines = logged();
    ASSERT_EQ(lines.size(), 7) << lines.join('\n').toStdString();
    EXPECT_EQ(lines[2], u"(warning) 2 of this computer's archives are dated later than now (was "
                        "the clock once set forward?); they are kept and not counted: "_s +
                            future.join(u", "_s));
    const QString removed = u"    Removed old archive (older than 7 days):"_s + path("archive/");
    const auto refused = [&](const QString &line, const QString &name, const QString &why) {
        return line.startsWith(u"(warning) could not remove the old archive "_s + path("archive/") +
                               name + u": "_s) &&
               line.endsWith(why);
    };
    EXPECT_EQ(lines[3], removed + ours("261126_10_00_00"));
    EXPECT_TRUE(kept ? refused(lines[4], immutable, u"Operation not permitted"_s)
                     : lines[4] == removed + immutable)
        << lines[4].toStdString();
    EXPECT_TRUE(refused(lines[5], readOnly, u"Permission denied"_s)) << lines[5].toStdString();
    EXPECT_EQ(lines[6], removed + ours("261001_10_00_00")) << "the others still go";
    EXPECT_EQ(run->runLog().ErrorCount(), 0);
}

// Nothing goes unless this run's archive was delivered and verified and the run had no error;
// a folder that cannot be listed is a warning.
TEST_F(ArchiveRetentionTest, NothingGoesAfterAFailedDeliveryOrRun)
{
    const QString old = ours("200101_00_00_00");
    const struct {
        const char *what;
        QString existing;
        std::function<void(::Run &)> before;
        QString failing; // the file-system operation that fails
        QString line;
    } cases[] = {
        {"the name is taken",
         delivered,
         {},
         {},
         u"(error) a file already exists in the target folder for that file name."_s},
        {"the copy fails",
         {},
         {},
         u"MoveFile"_s,
         u"(error) in CopyArchiveToTargetFolder on frmMain:"_s},
        {"an error before",
         {},
         [](::Run &p) { p.runLog().WriteLogLine(u"(error) before"_s); },
         {},
         u"    Old archives are kept: this run counted errors."_s},
        {"the folder cannot be listed",
         {},
         {},
         u"GetFolder"_s,
         u"(warning) could not look for old archives in the archive folder: "_s},
    };
    for (const auto &c : cases) {
        QDir(path("archive")).removeRecursively();
        writeFile("archive/" + old, "old");
        if (!c.existing.isEmpty())
            writeFile("archive/" + c.existing, "someone's");
        before = c.before;
        std::unique_ptr<FaultyFileSystem> faulty;
        if (!c.failing.isEmpty()) {
            faulty = std::make_unique<FaultyFileSystem>();
            faulty->failOn(c.failing);
        }
        deliver(std::move(faulty));
        EXPECT_TRUE(QFile::exists(path("archive/") + old)) << c.what;
        EXPECT_TRUE(logged().last().startsWith(c.line))
            << c.what << ": " << logged().last().toStdString();
    }
}

} // namespace
