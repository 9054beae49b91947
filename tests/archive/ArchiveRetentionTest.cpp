#include "archive/ArchiveRetention.h"
#include "archive/OurArchives.h"

#include <algorithm>

namespace {

using namespace ourArchives;

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
    QStringList names{name}, future;
    for (const int daysAgo : {9, 8, 7, 6, 1, 0})
        for (const QTime time : {QTime(0, 0), QTime(0, 0, 1), QTime(23, 59, 59)})
            past.push_back({QDateTime(today.addDays(-daysAgo), time), QString()});
    past.push_back({QDateTime(QDate(2000, 1, 1), QTime(0, 0)), QString()});
    for (auto &[made, archive] : past)
        archive = ours(made.toString(u"yyMMdd_HH_mm_ss"_s).toLatin1().constData());
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
                    archivesToRemove(listed, u"SRV01"_s, name, now, days, count);
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
    // None goes for its age while the step from the newest earlier archive to this run is more
    // than KeepDays (7) and more than four times the longest between the earlier ones (a clock
    // set forward); a schedule that sparse is not held. At each edge and a step past it.
    const struct {
        int newest, first, step; // ages: newest, then `first` days older, then each `step` more
        size_t removed;
        qint64 held;
        // The last row: a second run with the clock set forward.
    } steps[] = {
        {7, 1, 1, 2, 0}, {8, 1, 1, 0, 8}, {8, 2, 2, 3, 0}, {9, 2, 2, 0, 9}, {0, 3650, 1, 0, 3650}};
    for (const auto &row : steps) {
        QStringList listed{name};
        for (const int age :
             {row.newest, row.newest + row.first, row.newest + row.first + row.step})
            listed << ours(qPrintable(today.addDays(-age).toString(u"yyMMdd_12_00_00"_s)));
        const RetentionPlan plan = archivesToRemove(listed, u"SRV01"_s, name, now, 7, 0);
        EXPECT_TRUE(plan.removals.size() == row.removed && plan.ageHeldAfterDays == row.held)
            << row.newest << " " << row.first << " " << row.step;
    }
}

} // namespace
