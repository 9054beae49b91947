#include "e2e/RunTable.h"

#include "runlog/LogPane.h"
#include "support/ArchiveReader.h"

#include <QHostInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>
#include <csignal>

namespace {

// Each line against its pattern, "..." taking any number of lines. By index, each pattern
// compiled once: a run log may have forty thousand lines.
bool linesMatch(const QStringList &lines, const QStringList &patterns)
{
    std::vector<QRegularExpression> compiled;
    for (const QString &pattern : patterns)
        compiled.emplace_back(u"^(?:"_s + pattern + u")$"_s);
    const std::function<bool(qsizetype, qsizetype)> from = [&](qsizetype line, qsizetype at) {
        if (at == patterns.size())
            return line == lines.size();
        if (patterns[at] == u"..."_s) {
            for (qsizetype skip = line; skip <= lines.size(); ++skip)
                if (from(skip, at + 1))
                    return true;
            return false;
        }
        return line < lines.size() && compiled[size_t(at)].match(lines[line]).hasMatch() &&
               from(line + 1, at + 1);
    };
    return from(0, 0);
}

QStringList linesOf(const QByteArray &text)
{
    return QString::fromUtf8(text).split(u'\n', Qt::SkipEmptyParts);
}

double nowSeconds(double (*round)(double))
{
    return round(double(QDateTime::currentMSecsSinceEpoch()) / 1000);
}

double secondsOf(const QJsonValue &moment)
{
    const QDateTime parsed = QDateTime::fromString(moment.toString(), Qt::ISODate);
    EXPECT_EQ(parsed.timeSpec(), Qt::OffsetFromUTC) << moment.toString().toStdString();
    return double(parsed.toSecsSinceEpoch());
}

} // namespace

void RunTable::SetUp()
{
    ProcessTest::SetUp();
    syslog = std::make_unique<SystemLogCatcher>(path("syslog.socket"));
    qputenv("SORVIK_METRICS_DIR", QFile::encodeName(path("metrics")));
    // A zone far from UTC and off the hour: a moment told in the wrong zone is hours off.
    qputenv("TZ", "America/St_Johns");
}

void RunTable::setUpWell(const QStringList &simulation)
{
    for (const char *gone :
         {"orvel", "program/logs", "program/ZIPS", "program/TempDiags", "state", "metrics"})
        QDir(path(gone)).removeRecursively();
    QFile::remove(path("program/logs"));
    simulate(simulation);
    QDir(localPath(QString())).removeRecursively();
    QDir().mkpath(localPath(QString()));
    QDir().mkpath(path("metrics"));
    storeArchiveFolder(archiveFolder());
    settings().remove(u"Archive"_s);
    QFile::remove(path(u"program/"_s + helper));
    QFile::copy(builtFile(QString(helper)), path(u"program/"_s + helper));
}

void RunTable::check(const Row &row)
{
    SCOPED_TRACE(row.name);
    setUpWell(row.simulation);
    // A success an hour ago, which a run that fails keeps as the last success.
    const QDateTime earlier = QDateTime::currentDateTimeUtc().addSecs(-3600);
    const QByteArray moment = earlier.toString(Qt::ISODate).toUtf8();
    const QByteArray planted = "{\"started\": \"" + moment + "\", \"ended\": \"" + moment +
                               "\", \"exit_status\": 0, \"errors\": 0, \"last_success\": \"" +
                               moment + "\"}";
    writeFile("state/sorvik/last-run.json", planted);
    if (row.setUp)
        row.setUp();
    const QStringList before = archiveFolderFiles();
    syslog->take();

    // The test's own clock, in whole seconds as the outcome keeps its moments.
    const double started = nowSeconds(std::floor);
    double stopped = 0, resumed = 0;
    const Outcome outcome = runThrough(row.prefix, row.arguments, [&](QProcess &process) {
        if (row.holdAt.isEmpty())
            return;
        waitForLine(process, row.holdAt);
        if (row.act)
            return row.act(process);
        ::kill(pid_t(process.processId()), SIGSTOP);
        stopped = nowSeconds(std::ceil);
        QThread::msleep(2100);
        resumed = nowSeconds(std::floor);
        ::kill(pid_t(process.processId()), SIGCONT);
    });
    const double ended = nowSeconds(std::ceil);
    if (row.ended)
        row.ended();
    QStringList heard;
    for (const SystemLogCatcher::Entry &entry : syslog->take()) {
        // User facility, error; a run without its log keeps its lines there as warnings, but
        // for its errors.
        EXPECT_TRUE(entry.priority == 11 ||
                    (entry.priority == 12 && row.logged.isEmpty() && !mentionsError(entry.text)))
            << entry.priority << " " << entry.text.toStdString();
        heard << entry.tag + u": "_s + entry.text;
    }
    const QString said =
        runLogText() + QString::fromUtf8(outcome.errors + outcome.output) + heard.join(u'\n') +
        QString::fromUtf8(readFile("metrics/sorvik.prom") + readFile("state/sorvik/last-run.json"));
    EXPECT_EQ(outcome.status, row.status) << said.toStdString();
    if (!row.secret.isEmpty()) {
        EXPECT_FALSE(said.contains(QString::fromUtf8(row.secret))) << said.toStdString();
    }
    EXPECT_TRUE(row.output.isEmpty() ? outcome.output.isEmpty()
                                     : outcome.output.startsWith(row.output))
        << outcome.output.toStdString();

    // The run log: one, its lines in order; an "(error)" line exactly when the run failed.
    const bool hasLog = !row.logged.isEmpty();
    const QStringList lines = hasLog ? runLog() : QStringList();
    const QStringList logs = QDir(path("program/logs")).entryList(QDir::Files);
    EXPECT_EQ(logs.isEmpty(), !hasLog);
    const QString runLogFile = logs.isEmpty() ? QString() : path(u"program/logs/"_s + logs.first());
    QStringList patterns{u"..."_s};
    for (const QString &pattern : row.logged)
        patterns << u".*(?:"_s + pattern + u").*"_s << u"..."_s;
    EXPECT_TRUE(linesMatch(lines, patterns)) << lines.join('\n').toStdString();
    const QStringList errors = lines.mid(7).filter(u": (error)"_s, Qt::CaseInsensitive);
    if (hasLog) {
        EXPECT_EQ(errors.isEmpty(), row.status == 0) << lines.join('\n').toStdString();
    }

    // Heard on stderr and in the system log alike; an unattended run that failed sums itself up
    // there with the run log's own first ten "(error)" lines.
    QStringList expected = row.told;
    const bool unattended = row.arguments.join(u' ').contains(u"/silent"_s, Qt::CaseInsensitive);
    if (unattended && row.status != 0 && (hasLog || row.told.isEmpty() || row.status > 1)) {
        expected
            << u"Sorvik: the unattended run ended with exit status %1 \\(.*\\); %2 \"\\(error\\)\" line%3"_s
                   .arg(row.status)
                   .arg(errors.size())
                   .arg(errors.size() > 10   ? u"s, the first 10:"_s
                        : errors.size() == 1 ? u":"_s
                        : errors.isEmpty()   ? u"s"_s
                                             : u"s:"_s);
        for (const QString &line : errors.mid(0, 10))
            expected << u"Sorvik:   "_s + QRegularExpression::escape(line);
        expected << (hasLog ? u"Sorvik: run log: "_s + QRegularExpression::escape(runLogFile)
                            : u"Sorvik: no run log was written"_s);
    }
    const QStringList told = linesOf(outcome.errors);
    EXPECT_TRUE(linesMatch(told, expected)) << told.join('\n').toStdString() << "\n-- expected --\n"
                                            << expected.join('\n').toStdString();
    EXPECT_EQ(heard, told);

    // What it delivered, read back by every independent reader.
    QStringList delivered;
    for (const QString &name : archiveFolderFiles()) {
        // A dead run's copy is removed, and no probe of this run is left.
        EXPECT_FALSE(name.contains(u".partial-"_s)) << name.toStdString();
        if (!before.contains(name))
            delivered << name;
    }
    EXPECT_TRUE(delivered.filter(QRegularExpression(u"^temp\\.test\\."_s)).isEmpty());
    EXPECT_TRUE(QDir(path("program/TempDiags")).entryList(QDir::Files | QDir::Hidden).isEmpty());
    // A start that was refused, or only answered, makes no working folder either.
    if (!hasLog && row.status != 1)
        for (const char *working : {"program/logs", "program/ZIPS", "program/TempDiags"}) {
            EXPECT_FALSE(QFileInfo::exists(path(working))) << working;
        }
    ASSERT_EQ(delivered.size(), row.entries == -1 ? 0 : 1) << delivered.join(' ').toStdString();
    std::optional<ArchiveContent> content;
    if (!delivered.isEmpty()) {
        const QByteArray archive = archiveBytes(delivered.first());
        writeFile("delivered.zip", archive);
        EXPECT_EQ(archive, readFile(u"program/ZIPS/"_s + delivered.first()));
        EXPECT_EQ(QDir(path("program/ZIPS")).entryList(QDir::Files | QDir::Hidden).size(), 1);
        if (row.encrypted) {
            content = readEncryptedArchive(path("delivered.zip"), row.secret);
            const int count = content ? int(content->size()) : -1;
            EXPECT_EQ(refusedEntries(path("delivered.zip"), row.secret + "x"),
                      (Refusals{count, count}));
        } else {
            content = readArchive(path("delivered.zip"));
            const Ran unzipped = runTool(u"unzip"_s, {u"-tq"_s, path("delivered.zip")});
            EXPECT_TRUE(unzipped.output.startsWith("No errors detected"))
                << unzipped.output.toStdString();
        }
        ASSERT_TRUE(content);
        if (row.entries != anyCount) {
            EXPECT_EQ(qsizetype(content->size()), row.entries);
        }
        for (const QString &name : QDir(path("orvel/logs")).entryList({u"data_*"_s}))
            if (content->count(name)) {
                EXPECT_EQ(content->at(name).sha256, fileDigest(path("orvel/logs/") + name));
            }
        // Each entry was said as it went in, and nothing more went in than was said to.
        QStringList said;
        for (const QString &line : lines.filter(u"    Adding file into zip:"_s))
            said << QFileInfo(line.section(u"Adding file into zip:"_s, 1)).fileName();
        for (const QString &line : lines.filter(u"Failure appending file to zip.  File="_s))
            said.removeOne(
                QFileInfo(line.section(u"File="_s, 1).section(u", error="_s, 0, 0)).fileName());
        said.sort();
        QStringList entries;
        for (const auto &[name, entry] : *content)
            entries << name;
        if (hasLog) {
            EXPECT_EQ(said, entries);
        }
        for (const QString &name : row.names) {
            EXPECT_EQ(content->count(QString(name).remove(u'!')), name.startsWith(u'!') ? 0u : 1u)
                << name.toStdString();
        }
    }
    if (row.after)
        row.after(said);

    // The outcome for monitoring, against what happened, each written whole.
    if (readFile("state/sorvik/last-run.json") == planted) {
        EXPECT_FALSE(hasLog) << "a run without its outcome";
        return;
    }
    EXPECT_EQ(QDir(path("state/sorvik")).entryList(QDir::Files | QDir::Hidden),
              QStringList{u"last-run.json"_s});
    EXPECT_EQ(QDir(path("metrics")).entryList(QDir::Files | QDir::Hidden),
              QStringList{u"sorvik.prom"_s});
    const QJsonObject state =
        QJsonDocument::fromJson(readFile("state/sorvik/last-run.json")).object();
    EXPECT_EQ(state[u"exit_status"].toInt(-1), row.status);
    if (hasLog) {
        EXPECT_EQ(state[u"errors"].toInt(-1), errors.size());
    }
    EXPECT_EQ(state[u"errors"].toInt(-1) > 0, row.status == 1) << "errors against the status";
    EXPECT_EQ(state[u"entries"].toInt(-1), content ? int(content->size()) : 0);
    EXPECT_EQ(state[u"archive"].toString(),
              delivered.isEmpty() ? QString() : archiveFolder() + delivered.first());
    EXPECT_EQ(qint64(state[u"archive_bytes"].toDouble(-1)),
              delivered.isEmpty() ? 0 : qint64(archiveBytes(delivered.first()).size()));
    EXPECT_EQ(state[u"run_log"].toString(), hasLog ? runLogFile : QString());
    const double start = secondsOf(state[u"started"]), end = secondsOf(state[u"ended"]);
    const double duration = state[u"duration_seconds"].toDouble(-1);
    EXPECT_TRUE(started <= start && start <= end && end <= ended) << start << " " << end;
    // Counted from the start of the archive run, after the program's own start-up; the moments
    // are whole seconds.
    EXPECT_TRUE(duration <= end - start + 1 && duration >= end - start - 2) << duration;
    if (!row.holdAt.isEmpty() && !row.act) {
        EXPECT_TRUE(start <= stopped && end >= resumed && duration >= 2) << duration;
    }
    EXPECT_EQ(secondsOf(state[u"last_success"]),
              row.status == 0 ? end : double(earlier.toSecsSinceEpoch()));
    // Each gauge says what last-run.json says.
    std::map<QString, double> gauges;
    for (const QString &line : linesOf(readFile("metrics/sorvik.prom")))
        if (!line.startsWith(u'#'))
            gauges[line.section(u' ', 0, 0)] = line.section(u' ', 1, 1).toDouble();
    const std::pair<const char *, double> values[] = {
        {"run_exit_status", row.status},
        {"run_errors", state[u"errors"].toDouble()},
        {"archive_bytes", state[u"archive_bytes"].toDouble()},
        {"run_start_timestamp_seconds", start},
        {"run_end_timestamp_seconds", end},
        {"run_success", row.status == 0},
        {"run_duration_seconds", duration},
        {"archive_entries", state[u"entries"].toDouble()},
        {"success_timestamp_seconds", secondsOf(state[u"last_success"])}};
    for (const auto &[name, value] : values) {
        const auto gauge = gauges.find(u"sorvik_last_"_s + QLatin1String(name));
        EXPECT_EQ(gauge == gauges.end() ? -1.0 : gauge->second, value) << name;
    }
    // Read by the metrics client's own parser, and the documented alerts evaluated over it a
    // minute and 27 hours after the run (by Debian's interpreter, whose packages those are).
    const Ran alerts =
        runTool(u"/usr/bin/python3"_s,
                {u"" SORVIK_SOURCE_DIR "/tests/support/promql.py"_s, path("metrics/sorvik.prom"),
                 u"" SORVIK_SOURCE_DIR "/docs/administration.md"_s, QString::number(end, 'f', 0)});
    const QString failed = row.status ? u"SorvikRunFailed"_s : QString();
    EXPECT_EQ(QString::fromUtf8(alerts.output).trimmed(),
              failed + u"|SorvikNoSuccessFor26Hours"_s + (row.status ? u","_s : QString()) + failed)
        << alerts.errors.toStdString();
}

std::vector<Row> RunTable::preExistingState()
{
    const QString archive = u"LOG_Archive_"_s + QHostInfo::localHostName().section(u'.', 0, 0);
    const QString killed = archive + u"_261201_02_30_00.ZIP"_s;
    // Whatever second the run starts in, an archive of its name is already there.
    const auto ahead = [archive] {
        QStringList names;
        for (int second = 0; second < 30; ++second)
            names << archive + QDateTime::currentDateTime().addSecs(second).toString(
                                   u"_yyMMdd_HH_mm_ss'.ZIP'"_s);
        return names;
    };
    auto planted = std::make_shared<QStringList>();
    // A run killed while delivering left its copy and the empty claim of the final name. (What
    // may stand at the write probe's name, here and on a share: SmbFileSystemTest.)
    const Row piece{.name = "a killed run's copy",
                    .setUp =
                        [this, killed] {
                            plant(u"."_s + killed + u".partial-999999999-0badf00d"_s, "piece");
                            plant(killed, QByteArray());
                        },
                    .logged = {runHeader, fileCopied},
                    .entries = anyCount,
                    .after =
                        [this, killed](const QString &) {
                            EXPECT_FALSE(archiveFolderFiles().contains(killed));
                        }};
    const Row taken{
        .name = "an archive at the run's own name",
        .setUp =
            [this, ahead, planted] {
                *planted = ahead();
                for (const QString &name : *planted)
                    plant(name, "an earlier archive");
            },
        .status = 1,
        .logged =
            {runHeader,
             u"\\(error\\) a file already exists in the target folder for that file name\\."_s},
        .after =
            [this, planted](const QString &) {
                for (const QString &name : *planted) {
                    EXPECT_EQ(archiveBytes(name), "an earlier archive") << name.toStdString();
                }
            }};
    // Folders of the archive's own names: nothing is put inside one, nor is one replaced.
    Row folders = taken;
    folders.name = "a folder at the run's own name";
    folders.setUp = [this, ahead, planted] {
        *planted = ahead();
        for (const QString &name : *planted)
            plantFolder(name);
    };
    folders.logged = {runHeader, u"\\(error\\)"_s};
    folders.after = [this, planted](const QString &) {
        for (const QString &name : *planted) {
            EXPECT_TRUE(QFileInfo(localPath(name)).isDir() && QDir(localPath(name)).isEmpty())
                << name.toStdString();
        }
    };
    return {piece, taken, folders};
}
