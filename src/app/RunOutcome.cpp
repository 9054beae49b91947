#include "app/RunOutcome.h"

#include "app/Dialogs.h"
#include "app/Program.h"
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

#include <unistd.h>

namespace {

const QString lastRunName = QStringLiteral("last-run.json");
const QString metricsName = QStringLiteral("sorvik.prom");
constexpr int summaryErrorLines = 10;
// Far more than an outcome ever takes: a larger file is not ours.
constexpr qsizetype outcomeFileLimit = 64 * 1024;

QJsonValue pathOrNull(const QString &path)
{
    return path.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(path);
}

QByteArray outcomeJson(const RunOutcome &outcome)
{
    QJsonObject object;
    object.insert(QStringLiteral("started"), isoDateTime(outcome.started));
    object.insert(QStringLiteral("ended"), isoDateTime(outcome.ended));
    object.insert(QStringLiteral("exit_status"), outcome.exitStatus);
    object.insert(QStringLiteral("errors"), outcome.errors);
    object.insert(QStringLiteral("archive"), pathOrNull(outcome.archive));
    object.insert(QStringLiteral("archive_bytes"), outcome.archiveBytes);
    object.insert(QStringLiteral("run_log"), pathOrNull(outcome.runLog));
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

// The text format of node_exporter's textfile collector: one gauge each, with its help line.
QByteArray outcomeMetrics(const RunOutcome &outcome)
{
    const struct {
        const char *name;
        const char *help;
        qint64 value;
    } gauges[] = {
        {"sorvik_last_run_start_timestamp_seconds",
         "When the last run of Sorvik started, in seconds since 1970-01-01 UTC.",
         outcome.started.toSecsSinceEpoch()},
        {"sorvik_last_run_end_timestamp_seconds",
         "When the last run of Sorvik ended, in seconds since 1970-01-01 UTC.",
         outcome.ended.toSecsSinceEpoch()},
        {"sorvik_last_run_exit_status",
         "Exit status of the last run: 0 archived and delivered, 1 run failed, 2 start refused, 3 "
         "another instance was running.",
         outcome.exitStatus},
        {"sorvik_last_run_errors", "Number of (error) lines in the last run's log.",
         outcome.errors},
        {"sorvik_last_archive_bytes",
         "Size in bytes of the archive the last run delivered; 0 when it delivered none.",
         outcome.archive.isEmpty() ? 0 : outcome.archiveBytes},
    };
    QByteArray text;
    for (const auto &gauge : gauges)
        text += QByteArray("# HELP ") + gauge.name + ' ' + gauge.help + "\n# TYPE " + gauge.name +
                " gauge\n" + gauge.name + ' ' + QByteArray::number(gauge.value) + '\n';
    return text;
}

void writeTold(const QString &folder, const QString &name, const QByteArray &content)
{
    trap([&] { writeFileWhole(folder, name, content, 0644); },
         [&](const Failure &failure) {
             tellSystem(programTitle(),
                        QStringLiteral("the outcome of this run cannot be recorded in %1/%2: %3")
                            .arg(folder, name, failure.description()),
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
        return QStringLiteral("another instance of the program is running");
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

void recordRunOutcome(const RunOutcome &outcome)
{
    const QString state = stateFolder();
    // Only the last level is made private; the levels above are the account's own.
    if (!QFileInfo::exists(state)) {
        QDir().mkpath(QFileInfo(state).absolutePath());
        QDir().mkdir(state, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    writeTold(state, lastRunName, outcomeJson(outcome));
    const QString metrics = qEnvironmentVariable("SORVIK_METRICS_DIR");
    if (!metrics.isEmpty())
        writeTold(metrics, metricsName, outcomeMetrics(outcome));
}

std::optional<RunOutcome> lastRunOutcome()
{
    const QString path = lastRunFile();
    if (!QFileInfo(path).isSymLink() && !QFileInfo::exists(path))
        return std::nullopt;
    const int fd = openRegularFile(path);
    QByteArray bytes(outcomeFileLimit + 1, Qt::Uninitialized);
    const Transferred got = transferWhole(size_t(bytes.size()), [&](size_t done) {
        return ::read(fd, bytes.data() + done, size_t(bytes.size()) - done);
    });
    ::close(fd);
    if (got.error)
        throw FileSystemError(got.error, QStringLiteral("Cannot read"), path);
    bytes.truncate(qsizetype(got.bytes));
    const QJsonObject object = QJsonDocument::fromJson(bytes).object();
    RunOutcome outcome;
    outcome.started = QDateTime::fromString(object.value(u"started").toString(), Qt::ISODate);
    outcome.ended = QDateTime::fromString(object.value(u"ended").toString(), Qt::ISODate);
    outcome.exitStatus = object.value(u"exit_status").toInt(-1);
    outcome.errors = object.value(u"errors").toInt();
    outcome.archive = object.value(u"archive").toString();
    outcome.archiveBytes = qint64(object.value(u"archive_bytes").toDouble());
    outcome.runLog = object.value(u"run_log").toString();
    if (bytes.size() > outcomeFileLimit || !outcome.started.isValid() || !outcome.ended.isValid() ||
        outcome.exitStatus < 0)
        throw Failure(EINVAL, QStringLiteral("%1 is not a run outcome Sorvik wrote").arg(path));
    return outcome;
}

QStringList outcomeSummary(const RunOutcome &outcome)
{
    QStringList errorLines;
    if (!outcome.runLog.isEmpty() && outcome.errors > 0)
        trapSilently([&] {
            readRunLogEvents(outcome.runLog, [&](const QString &line) {
                if (line.contains(QLatin1String("(error)"), Qt::CaseInsensitive))
                    errorLines << QStringLiteral("  ") + line;
                return errorLines.size() < summaryErrorLines;
            });
        });
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
                                       : QStringLiteral("run log: ") + outcome.runLog);
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
    outcome.errors = program.runLog().ErrorCount();
    outcome.archive = run.archive;
    outcome.archiveBytes = run.archiveBytes;
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
}
