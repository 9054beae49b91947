#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <vector>

class Run;
class RunLog;

// After a run whose archive was delivered and verified, and which counted no error, removes this
// computer's older archives from the folder it was delivered to, as KeepDays and KeepCount ask
// (Run::Options). Only files named exactly as this computer's runs name their archives
// (LOG_Archive_<computer>_yymmdd_hh_mm_ss.ZIP) are ever removed, never this run's archive, never
// a folder or a link. Each removal is one run-log line; one that fails is a "(warning)" and the
// run goes on. Everything goes through the file-system layer, so it works wherever delivery does.
void RemoveOldArchives(Run &run);

// One "(warning)" line for however many files: `what` with %1 for their count, then the first
// few of `names`. Nothing when there are none.
void warnNaming(RunLog &log, const QStringList &names, const QString &what);

// An archive that is to go, and why.
struct ArchiveRemoval {
    QString name;
    QString why;
};

struct RetentionPlan {
    std::vector<ArchiveRemoval> removals;
    // This computer's archives dated after `now` (a clock once set forward): neither counted
    // towards KeepCount nor removed, since they would hold its places for ever.
    QStringList future;
    // Of the `others`, those named like this computer's archives: neither counted nor removed,
    // or whoever may write the folder could make ours go by naming files like them.
    QStringList others;
    // The days of a step forward in dates, from the newest earlier archive to this run or from the
    // one before it to it, when more than keepDays and more than four times the longest step
    // below it: a clock set forward (for one run or two), or runs stopped that long. Then none
    // goes for its age this time, or a wrong clock would take the whole history; zero otherwise.
    qint64 ageHeldAfterDays = 0;
};

// Which of the `names` in the archive folder go, given this computer's name, the name of the
// archive just delivered and the moment of the run. The age of an archive is counted in calendar
// days from the date in its name to the date of `now`, both local, the times of day aside (the
// rule of the run logs): it goes once its age is more than `keepDays`, so with 7 an archive of 7
// days ago stays and one of 8 days ago goes. Past `keepCount`, the oldest by the times in the
// names go; the archive just delivered always stays and counts as one. 0 turns either rule off.
// `others` are the names of files there that are not this account's alone (File::Ours).
RetentionPlan archivesToRemove(const QStringList &names, const QString &computer,
                               const QString &delivered, const QDateTime &now, int keepDays,
                               int keepCount, const QStringList &others = {});
