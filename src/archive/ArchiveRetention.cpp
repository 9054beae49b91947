#include "archive/ArchiveRetention.h"

#include "app/Program.h"
#include "common/ControlText.h"
#include "common/Failure.h"
#include "common/TimeText.h"

#include <QRegularExpression>

#include <algorithm>

RetentionPlan archivesToRemove(const QStringList &names, const QString &computer,
                               const QString &delivered, const QDateTime &now, int keepDays,
                               int keepCount)
{
    RetentionPlan plan;
    // Exactly the names runs make; [0-9], not \d, which takes digits of every script.
    const QRegularExpression ours(QStringLiteral("^LOG_Archive_") +
                                  QRegularExpression::escape(computer) +
                                  QStringLiteral("_([0-9]{6}_[0-9]{2}_[0-9]{2}_[0-9]{2})\\.ZIP$"));
    struct Archive {
        QString name;
        QDateTime made;
    };
    std::vector<Archive> archives;
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

void RemoveOldArchives(Program &program)
{
    const ArchiveOptions &options = program.Options;
    RunLog &log = program.runLog();
    if (program.DeliveredArchive.isEmpty() || (options.KeepDays == 0 && options.KeepCount == 0))
        return;
    // An archive with errors may lack what an older one holds.
    if (log.ErrorCount() > 0) {
        log.WriteLogLine(QStringLiteral("    Old archives are kept: this run counted errors."));
        return;
    }
    FileSystem &fs = program.fileSystem();
    const auto warn = [&](const QString &what) {
        return [&log, what](const Failure &failure) {
            log.WriteLogLine(QStringLiteral("(warning) ") + what + failure.description());
        };
    };
    trap(
        [&] {
            const QString name = fs.GetFileName(program.DeliveredArchive);
            const QString folder =
                program.DeliveredArchive.left(program.DeliveredArchive.size() - name.size());
            QStringList names;
            // Regular files only: links and folders are listed apart and never touched.
            for (const File &file : fs.GetFolder(folder).Files)
                names << file.Name();
            const RetentionPlan plan =
                archivesToRemove(names, program.WorkStation().ComputerName(), name, program.now(),
                                 options.KeepDays, options.KeepCount);
            // One line, however many: a clock set a year ahead made one a night.
            constexpr qsizetype named = 5;
            if (!plan.future.isEmpty())
                log.WriteLogLine(
                    QStringLiteral("(warning) %1 of this computer's archives are dated later than "
                                   "now (was the clock once set forward?); they are kept and not "
                                   "counted: %2%3")
                        .arg(QString::number(plan.future.size()),
                             plan.future.mid(0, named).join(QStringLiteral(", ")),
                             plan.future.size() > named
                                 ? QStringLiteral(" and %1 more").arg(plan.future.size() - named)
                                 : QString()));
            for (const ArchiveRemoval &removal : plan.removals) {
                const QString path = folder + removal.name;
                // Not forced: an archive made read-only is one somebody chose to keep.
                if (trap([&] { fs.DeleteFile(path, false); },
                         warn(QStringLiteral("could not remove the old archive ") +
                              shownPath(path) + QStringLiteral(": "))))
                    log.WriteLogLine(QStringLiteral("    Removed old archive (") + removal.why +
                                     QStringLiteral("):") + shownPath(path));
            }
        },
        warn(QStringLiteral("could not look for old archives in the archive folder: ")));
}
