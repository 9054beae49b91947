#include "app/RunOutcome.h"

#include "app/Dialogs.h"
#include "app/Program.h"
#include "app/RunInProgress.h"
#include "common/ControlText.h"
#include "common/Failure.h"
#include "common/TimeText.h"
#include "platform/FileSystem.h"
#include "platform/SystemLog.h"
#include "platform/WholeFile.h"
#include "platform/WholeTransfer.h"
#include "runlog/RunLogReading.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <algorithm>
#include <cmath>
#include <unistd.h>

namespace {

const QString lastRunName = QStringLiteral("last-run.json");
const QString metricsName = QStringLiteral("sorvik.prom");
constexpr int summaryErrorLines = 10;

QJsonValue pathOrNull(const QString &path)
{
    return path.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(path);
}

QJsonValue momentOrNull(const QDateTime &moment)
{
    return moment.isValid() ? QJsonValue(isoDateTime(moment)) : QJsonValue(QJsonValue::Null);
}

// Milliseconds are more than a nightly run needs, and keep the figure short.
double roundedSeconds(double seconds)
{
    return std::round(seconds * 1000) / 1000;
}

QByteArray outcomeJson(const RunOutcome &outcome)
{
    QJsonObject object;
    object.insert(QStringLiteral("started"), isoDateTime(outcome.started));
    object.insert(QStringLiteral("ended"), isoDateTime(outcome.ended));
    object.insert(QStringLiteral("exit_status"), outcome.exitStatus);
    object.insert(QStringLiteral("errors"), outcome.errors);
    object.insert(QStringLiteral("archive"), pathOrNull(shownPath(outcome.archive)));
    object.insert(QStringLiteral("archive_bytes"), outcome.archiveBytes);
    object.insert(QStringLiteral("entries"), outcome.entries);
    object.insert(QStringLiteral("duration_seconds"), roundedSeconds(outcome.durationSeconds));
    object.insert(QStringLiteral("last_success"), momentOrNull(outcome.lastSuccess));
    object.insert(QStringLiteral("run_log"), pathOrNull(shownPath(outcome.runLog)));
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

// The text format of node_exporter's textfile collector: one gauge each, with its help line.
QByteArray outcomeMetrics(const RunOutcome &outcome)
{
    const bool delivered = !outcome.archive.isEmpty();
    const struct {
        const char *name;
        const char *help;
        double value;
    } gauges[] = {
        {"sorvik_last_run_start_timestamp_seconds",
         "When the last run of Sorvik started, in seconds since 1970-01-01 UTC.",
         double(outcome.started.toSecsSinceEpoch())},
        {"sorvik_last_run_end_timestamp_seconds",
         "When the last run of Sorvik ended, in seconds since 1970-01-01 UTC.",
         double(outcome.ended.toSecsSinceEpoch())},
        {"sorvik_last_run_duration_seconds",
         "How long the last run of Sorvik took, in seconds, from the start of its archive run.",
         roundedSeconds(outcome.durationSeconds)},
        {"sorvik_last_run_success",
         "1 when the last run archived every file and delivered the archive (exit status 0), "
         "else 0.",
         outcome.exitStatus == ExitStatus::Success ? 1.0 : 0.0},
        {"sorvik_last_success_timestamp_seconds",
         "When the last run of Sorvik that ended with exit status 0 ended, in seconds since "
         "1970-01-01 UTC; kept across failing runs, 0 while none has.",
         outcome.lastSuccess.isValid() ? double(outcome.lastSuccess.toSecsSinceEpoch()) : 0.0},
        {"sorvik_last_run_exit_status",
         "Exit status of the last run: 0 archived and delivered, 1 run failed, 2 start refused, 3 "
         "another instance was running.",
         double(outcome.exitStatus)},
        {"sorvik_last_run_errors", "Number of (error) lines in the last run's log.",
         double(outcome.errors)},
        {"sorvik_last_archive_bytes",
         "Size in bytes of the archive the last run delivered; 0 when it delivered none.",
         delivered ? double(outcome.archiveBytes) : 0.0},
        {"sorvik_last_archive_entries",
         "Number of entries in the archive the last run delivered; 0 when it delivered none.",
         delivered ? double(outcome.entries) : 0.0},
    };
    QByteArray text;
    for (const auto &gauge : gauges)
        text += QByteArray("# HELP ") + gauge.name + ' ' + gauge.help + "\n# TYPE " + gauge.name +
                " gauge\n" + gauge.name + ' ' + QByteArray::number(gauge.value, 'g', 15) + '\n';
    return text;
}

// `makeMissing`: the folder is made where it is missing, owner-only.
void writeTold(const QString &folder, const QString &name, const QByteArray &content,
               bool makeMissing = false)
{
    trap(
        [&] {
            if (makeMissing)
                makePrivateFolderPath(folder);
            writeFileWhole(folder, name, content, 0644);
        },
        [&](const Failure &failure) {
            tellSystem(programTitle(),
                       QStringLiteral("the outcome of this run cannot be recorded in %1/%2: %3")
                           .arg(shownPath(folder), name, failure.description()),
                       SystemLogPriority::Error);
        });
}

} // namespace

QString exitStatusMeaning(int status)
{
    switch (status) {
    case ExitStatus::Success:
        return QStringLiteral("every file was archived and the archive delivered");
    case ExitStatus::RunFailed:
        return QStringLiteral("the archive run failed: it wrote \"(error)\" lines, was refused, "
                              "was cancelled or could not keep its run log");
    case ExitStatus::StartRefused:
        return QStringLiteral("the start was refused: Orvel is not running or older than 3.0, or "
                              "there is no display for the window");
    case ExitStatus::AlreadyRunning:
        return QStringLiteral("the program folder's lock is held, as a rule by another "
                              "instance of the program");
    }
    return QStringLiteral("an unexpected end");
}

QString stateFolder()
{
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    // Relative paths are invalid there, as in the other XDG variables.
    if (!base.startsWith(QLatin1Char('/')))
        base = QDir::homePath() + QStringLiteral("/.local/state");
    return base + QStringLiteral("/sorvik");
}

QString lastRunFile()
{
    return stateFolder() + QLatin1Char('/') + lastRunName;
}

void recordRunOutcome(RunOutcome outcome)
{
    if (outcome.exitStatus == ExitStatus::Success)
        outcome.lastSuccess = outcome.ended;
    else
        // A file that cannot be read any more has lost it; the next success sets it again.
        trapSilently([&] {
            if (const auto last = lastRunOutcome())
                outcome.lastSuccess = last->lastSuccess;
        });
    writeTold(stateFolder(), lastRunName, outcomeJson(outcome), true);
    const QString metrics = qEnvironmentVariable("SORVIK_METRICS_DIR");
    if (!metrics.isEmpty())
        writeTold(metrics, metricsName, outcomeMetrics(outcome));
}

std::optional<QByteArray> readStateFile(const QString &name)
{
    const QString path = stateFolder() + QLatin1Char('/') + name;
    if (!QFileInfo(path).isSymLink() && !QFileInfo::exists(path))
        return std::nullopt;
    const int fd = openRegularFileIn(stateFolder(), name);
    QByteArray bytes(stateFileLimit + 1, Qt::Uninitialized);
    const Transferred got = transferWhole(size_t(bytes.size()), [&](size_t done) {
        return ::read(fd, bytes.data() + done, size_t(bytes.size()) - done);
    });
    ::close(fd);
    if (got.error)
        throw FileSystemError(got.error, QStringLiteral("Cannot read"), path);
    bytes.truncate(qsizetype(got.bytes));
    return bytes;
}

std::optional<RunOutcome> lastRunOutcome()
{
    const QString path = lastRunFile();
    const std::optional<QByteArray> bytes = readStateFile(lastRunName);
    if (!bytes)
        return std::nullopt;
    const QJsonObject object = QJsonDocument::fromJson(*bytes).object();
    RunOutcome outcome;
    outcome.started = QDateTime::fromString(object.value(u"started").toString(), Qt::ISODate);
    outcome.ended = QDateTime::fromString(object.value(u"ended").toString(), Qt::ISODate);
    outcome.exitStatus = object.value(u"exit_status").toInt(-1);
    outcome.errors = object.value(u"errors").toInt();
    outcome.archive = object.value(u"archive").toString();
    outcome.archiveBytes = qint64(object.value(u"archive_bytes").toDouble());
    outcome.entries = qint64(object.value(u"entries").toDouble());
    outcome.durationSeconds = object.value(u"duration_seconds").toDouble();
    outcome.lastSuccess =
        QDateTime::fromString(object.value(u"last_success").toString(), Qt::ISODate);
    // Written before the last success was kept: a success is its own.
    if (!object.contains(u"last_success") && outcome.exitStatus == ExitStatus::Success)
        outcome.lastSuccess = outcome.ended;
    outcome.runLog = object.value(u"run_log").toString();
    if (bytes->size() > stateFileLimit || !outcome.started.isValid() || !outcome.ended.isValid() ||
        outcome.exitStatus < 0)
        throw Failure(EINVAL,
                      QStringLiteral("%1 is not a run outcome Sorvik wrote").arg(shownPath(path)));
    return outcome;
}

QStringList firstErrorLines(const RunOutcome &outcome, int count)
{
    QStringList errorLines;
    if (!outcome.runLog.isEmpty() && outcome.errors > 0)
        trapSilently([&] {
            readRunLogEvents(outcome.runLog, [&](const QString &line) {
                if (line.contains(QLatin1String("(error)"), Qt::CaseInsensitive))
                    errorLines << line;
                return errorLines.size() < count;
            });
        });
    return errorLines;
}

QStringList outcomeSummary(const RunOutcome &outcome)
{
    QStringList errorLines;
    for (const QString &line : firstErrorLines(outcome, summaryErrorLines))
        errorLines << QStringLiteral("  ") + line;
    QString count = QStringLiteral("%1 \"(error)\" line%2")
                        .arg(outcome.errors)
                        .arg(outcome.errors == 1 ? QString() : QStringLiteral("s"));
    if (!errorLines.isEmpty())
        count += outcome.errors > errorLines.size()
                     ? QStringLiteral(", the first %1:").arg(errorLines.size())
                     : QStringLiteral(":");
    QStringList lines{QStringLiteral("the unattended run ended with exit status %1 (%2); %3")
                          .arg(outcome.exitStatus)
                          .arg(exitStatusMeaning(outcome.exitStatus), count)};
    lines += errorLines;
    lines << (outcome.runLog.isEmpty() ? QStringLiteral("no run log was written")
                                       : QStringLiteral("run log: ") + shownPath(outcome.runLog));
    return lines;
}

void tellRefusal(const QString &text)
{
    tellSystem(programTitle(), text, SystemLogPriority::Error);
}

void reportProgramEnd(Program &program, const StartFacts &start, int status)
{
    const RunRecord &run = program.LastRun;
    const bool aRun =
        start.unattended || status == ExitStatus::StartRefused || !run.runLog.isEmpty();
    if (!aRun)
        return;
    RunOutcome outcome;
    outcome.started = start.started;
    outcome.ended = program.now();
    outcome.exitStatus = status;
    // A failure said outside the run log ("(error)" lines on stderr and in the system log: a log
    // that could not be kept whole, an unattended start stopped before its log was open) counts
    // too, so that a failed run never reads "0 errors".
    const RunLog &log = program.runLog();
    outcome.errors = std::max(log.ErrorCount() + (log.complete() ? 0 : 1),
                              status == ExitStatus::RunFailed ? 1 : 0);
    outcome.archive = run.archive;
    outcome.archiveBytes = run.archiveBytes;
    outcome.entries = run.archive.isEmpty() ? 0 : run.entries;
    const QDateTime runStarted = run.started.isValid() ? run.started : start.started;
    outcome.durationSeconds = double(runStarted.msecsTo(outcome.ended)) / 1000;
    trapSilently([&] {
        if (!run.runLog.isEmpty() && program.fileSystem().FileExists(run.runLog))
            outcome.runLog = run.runLog;
    });
    if (start.unattended && status != ExitStatus::Success)
        trapSilently([&] {
            for (const QString &line : outcomeSummary(outcome))
                tellSystem(programTitle(), line, SystemLogPriority::Error);
        });
    trapSilently([&] { recordRunOutcome(outcome); });
    trapSilently([&] { forgetRunStart(); });
}
