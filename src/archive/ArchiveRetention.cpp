#include "archive/ArchiveRetention.h"

#include "app/Run.h"
#include "common/ControlText.h"
#include "common/Failure.h"
#include "common/TimeText.h"
#include "platform/FileSystem.h"
#include "runlog/FolderUtilities.h"

#include <QHash>
#include <QRegularExpression>

#include <algorithm>

namespace {
// How many times the longest step between earlier archives a step to this run must be to be
// taken for a clock set forward.
constexpr qint64 jumpOverSpacing = 4;
} // namespace

RetentionPlan archivesToRemove(const QStringList &names, const QString &computer,
                               const QString &delivered, const QDateTime &now, int keepDays,
                               int keepCount, const QStringList &others)
{
    RetentionPlan plan;
    // Exactly the names runs make; [0-9], not \d, which takes digits of every script; \z, not $,
    // which also ends before a last line feed.
    const QRegularExpression ours(
        QStringLiteral("^LOG_Archive_") + QRegularExpression::escape(computer) +
        QStringLiteral("_([0-9]{6}_[0-9]{2}_[0-9]{2}_[0-9]{2})\\.ZIP\\z"));
    struct Archive {
        QString name;
        QDateTime made;
    };
    std::vector<Archive> archives;
    for (const QString &name : others)
        if (ours.match(name).hasMatch())
            plan.others << name;
    plan.others.sort();
    for (const QString &name : names) {
        const QRegularExpressionMatch match = ours.match(name);
        if (!match.hasMatch() || name == delivered)
            continue;
        // A stamp no run can have made (a 13th month) is no archive of ours.
        const QDateTime made = fileTimeStampMoment(match.captured(1));
        if (made > now)
            plan.future << name;
        else if (made.isValid())
            archives.push_back({name, made});
    }
    // Newest first; the names break a tie, so the choice never depends on the listing's order.
    std::sort(archives.begin(), archives.end(), [](const Archive &a, const Archive &b) {
        return a.made != b.made ? a.made > b.made : a.name > b.name;
    });
    plan.future.sort();
    // A clock set forward shows as a step, from the newest earlier archive to this run or from
    // the one before it (a second run with the wrong clock), longer than KeepDays and far longer
    // than any step below it; a schedule sparser than KeepDays shows its own spacing there too,
    // and is not held.
    std::vector<qint64> steps; // newest first: to this run, then between the earlier archives
    for (size_t i = 0; i < archives.size(); ++i)
        steps.push_back(
            archives[i].made.date().daysTo(i == 0 ? now.date() : archives[i - 1].made.date()));
    for (size_t top = 0; top < std::min<size_t>(steps.size(), 2) && keepDays > 0; ++top) {
        const qint64 below =
            steps.size() > top + 1
                ? *std::max_element(steps.begin() + qsizetype(top) + 1, steps.end())
                : -1;
        if (steps[top] > keepDays && below >= 0 && steps[top] > jumpOverSpacing * below) {
            plan.ageHeldAfterDays = steps[top];
            keepDays = 0;
        }
    }
    for (size_t i = 0; i < archives.size(); ++i) {
        const Archive &archive = archives[i];
        // The delivered archive is the first of those kept.
        if (keepCount > 0 && i + 1 >= size_t(keepCount))
            plan.removals.push_back(
                {archive.name, QStringLiteral("beyond the newest %1").arg(keepCount)});
        else if (keepDays > 0 && archive.made.date().daysTo(now.date()) > keepDays)
            plan.removals.push_back(
                {archive.name, QStringLiteral("older than %1 days").arg(keepDays)});
    }
    return plan;
}

void warnNaming(RunLog &log, const QStringList &names, const QString &what)
{
    constexpr qsizetype named = 5;
    if (!names.isEmpty())
        log.WriteLogLine(QStringLiteral("(warning) ") + what.arg(names.size()) +
                         QStringLiteral(": ") + names.mid(0, named).join(QStringLiteral(", ")) +
                         (names.size() > named
                              ? QStringLiteral(" and %1 more").arg(names.size() - named)
                              : QString()));
}

void RemoveOldArchives(Run &run)
{
    const ArchiveOptions &options = run.Options;
    RunLog &log = run.runLog();
    if (run.DeliveredArchive.isEmpty() || (options.KeepDays == 0 && options.KeepCount == 0))
        return;
    // An archive with errors may lack what an older one holds.
    if (log.ErrorCount() > 0) {
        log.WriteLogLine(QStringLiteral("    Old archives are kept: this run counted errors."));
        return;
    }
    FileSystem &fs = run.fileSystem();
    const auto warn = [&](const QString &what) {
        return [&log, what](const Failure &failure) {
            log.WriteLogLine(QStringLiteral("(warning) ") + what + failure.description());
        };
    };
    trap(
        [&] {
            const QString name = fs.GetFileName(run.DeliveredArchive);
            const QString folder =
                run.DeliveredArchive.left(run.DeliveredArchive.size() - name.size());
            QStringList names;
            QStringList others;
            // Regular files only: links and folders are listed apart and never touched.
            const Folder listed = fs.GetFolder(folder);
            // The folder the run delivered to, still: its path may lead elsewhere by now.
            if (withSeparator(folder) == run.ArchiveFolderChecked && run.ArchiveFolderFound &&
                listed.Identity != run.ArchiveFolderFound)
                throw Failure(5, QStringLiteral("it is no longer the folder the archive went to: "
                                                "it was moved, replaced or made a link meanwhile"));
            QHash<QString, const File *> files;
            for (const File &file : listed.Files) {
                (file.Ours() ? names : others) << file.Name();
                files.insert(file.Name(), &file);
            }
            const RetentionPlan plan =
                archivesToRemove(names, run.WorkStation().ComputerName(), name, run.now(),
                                 options.KeepDays, options.KeepCount, others);
            // One line for each kind, however many: a clock set a year ahead made one a night.
            warnNaming(log, plan.others,
                       QStringLiteral("%1 of the files named like this computer's "
                                      "archives belong to another account or have a "
                                      "second name; they are kept and not counted"));
            warnNaming(log, plan.future,
                       QStringLiteral("%1 of this computer's archives are dated later "
                                      "than now (was the clock once set forward?); they "
                                      "are kept and not counted"));
            if (plan.ageHeldAfterDays > 0)
                log.WriteLogLine(
                    QStringLiteral("(warning) this computer's newest archives are dated %1 days "
                                   "after those before them, more than KeepDays (was the clock "
                                   "set forward, or did the runs stop?); none is removed for its "
                                   "age this time")
                        .arg(plan.ageHeldAfterDays));
            for (const ArchiveRemoval &removal : plan.removals) {
                // Thousands of removals on a share: a stop is heard between two.
                stopIfCancelled(run);
                const QString path = folder + removal.name;
                // Not forced: an archive made read-only is one somebody chose to keep. Only this
                // account's, in the folder listed: another's may be named like ours.
                if (trap([&] { files.value(removal.name)->Delete(false, true); },
                         warn(QStringLiteral("could not remove the old archive ") +
                              shownPath(path) + QStringLiteral(": "))))
                    log.WriteLogLine(QStringLiteral("    Removed old archive (") + removal.why +
                                     QStringLiteral("):") + shownPath(path));
            }
        },
        warn(QStringLiteral("could not look for old archives in the archive folder: ")));
}
