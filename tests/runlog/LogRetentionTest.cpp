#include "runlog/LogRetention.h"

#include "runlog/FileSystem.h"

#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>

#include <utime.h>

namespace {

class LogRetentionTest : public TempEnvironment {
protected:
    // A run log last changed `daysAgo` calendar days before today, at the given time of day.
    void logFrom(const QString &name, int daysAgo, QTime time = QTime(12, 0))
    {
        writeFile(QStringLiteral("logs/") + name, "log");
        const QDateTime when(today.addDays(-daysAgo), time);
        utimbuf times{time_t(when.toSecsSinceEpoch()), time_t(when.toSecsSinceEpoch())};
        ASSERT_EQ(
            ::utime(QFile::encodeName(path(QStringLiteral("logs/") + name)).constData(), &times),
            0);
    }

    QStringList remaining() const
    {
        return QDir(path(QStringLiteral("logs")))
            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name);
    }

    FileSystem fs;
    const QDate today = QDate::currentDate();
};

TEST_F(LogRetentionTest, MoreThanThirtyCalendarDaysGoes)
{
    logFrom(QStringLiteral("a_31_days.TXT"), 31, QTime(23, 59, 59));
    logFrom(QStringLiteral("b_30_days.TXT"), 30, QTime(0, 0, 1));
    logFrom(QStringLiteral("c_today.TXT"), 0);
    logFrom(QStringLiteral("d_future.TXT"), -3);
    logFrom(QStringLiteral("e_old_readonly.TXT"), 400);
    QFile::setPermissions(path(QStringLiteral("logs/e_old_readonly.TXT")), QFile::ReadOwner);
    QDir().mkpath(path(QStringLiteral("logs/old_subfolder")));
    writeFile(QStringLiteral("logs/old_subfolder/inside.TXT"), "x");
    const utimbuf old{time_t(QDateTime(today.addDays(-90), QTime(12, 0)).toSecsSinceEpoch()),
                      time_t(QDateTime(today.addDays(-90), QTime(12, 0)).toSecsSinceEpoch())};
    ::utime(QFile::encodeName(path(QStringLiteral("logs/old_subfolder"))).constData(), &old);

    DeleteOldLogFiles(fs, path(QStringLiteral("logs")), today);
    EXPECT_EQ(remaining(),
              (QStringList{QStringLiteral("b_30_days.TXT"), QStringLiteral("c_today.TXT"),
                           QStringLiteral("d_future.TXT"), QStringLiteral("old_subfolder")}));
    EXPECT_TRUE(QFile::exists(path(QStringLiteral("logs/old_subfolder/inside.TXT"))));
}

TEST_F(LogRetentionTest, NoFileIsSkippedWhileOthersGo)
{
    for (int i = 0; i < 60; ++i)
        logFrom(QStringLiteral("old_%1.TXT").arg(i), 31 + i);
    DeleteOldLogFiles(fs, path(QStringLiteral("logs")), today);
    EXPECT_TRUE(remaining().isEmpty());
}

TEST_F(LogRetentionTest, MissingFolderIsNoConcern)
{
    DeleteOldLogFiles(fs, path(QStringLiteral("nothing-here")), today);
    EXPECT_FALSE(QFileInfo::exists(path(QStringLiteral("nothing-here"))));
}

} // namespace
