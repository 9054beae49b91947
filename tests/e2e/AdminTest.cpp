// What the administrator of a server without a display meets: failures told on stderr and in the
// system log, "--check", "--last-log", and the outcome of every run for monitoring.
#include "e2e/SystemLogCatcher.h"
#include "schedule/TaskScheduler.h"
#include "support/OwnedFile.h"
#include "support/ProcessFixture.h"
#include "support/ScriptedPropertySheet.h"
#include "support/Utf16.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>

#include <functional>
#include <set>

#include <unistd.h>

namespace {

class AdminTest : public ProcessTest {
protected:
    QStringList lines(const QByteArray &text) const
    {
        return QString::fromUtf8(text).split(u'\n', Qt::SkipEmptyParts);
    }

    // A set-up in which every check passes: the served product, a stored archive folder that
    // takes files, the formatter's helper beside the program, an enabled task.
    void setUpWell(const QStringList &simulation = {})
    {
        simulate(simulation);
        // Empty: runs of two cases within one second name their archives alike.
        QDir(path("archive")).removeRecursively();
        QDir().mkpath(path("archive"));
        storeArchiveFolder(path("archive/"));
        settings().remove(u"Archive"_s);
        QFile::copy(builtFile(QString(helper)), path(u"program/"_s + helper));
        QFile::remove(path("state/sorvik/last-run.json"));
    }

    static QSettings settings()
    {
        return QSettings(QSettings::IniFormat, QSettings::UserScope, u"Sorvik"_s, u"Sorvik"_s);
    }

    // "--check" on a set-up where everything passes, then broken by `breakIt`: exactly `failing`
    // fail, each with a remedy, and nothing is archived, logged or left behind.
    void expectCheck(const char *name, const std::function<void()> &breakIt,
                     const std::set<QString> &expected, const QString &prefix, int status)
    {
        const QStringList names{
            u"registry file"_s,   u"logging folder"_s,   u"Orvel"_s,      u"diagnostic formatter"_s,
            u"archive folder"_s,  u"archive settings"_s, u"free space"_s, u"update check"_s,
            u"scheduled tasks"_s, u"obfuscation"_s,      u"last run"_s};
        for (const QString &file : QDir(path("cron.d")).entryList(QDir::Files))
            QFile::remove(path(u"cron.d/"_s + file));
        setUpWell();
        saveTask(u"Nightly"_s, program());
        breakIt();
        const Outcome outcome = runThrough(prefix, {u"--check"_s}, prefix.startsWith(u"mount"_s));
        EXPECT_EQ(outcome.status, status) << name << outcome.output.toStdString();
        const QStringList told = lines(outcome.output);
        ASSERT_EQ(told.size(), names.size() + 1) << name << outcome.output.toStdString();
        std::set<QString> failing;
        int fails = 0;
        for (qsizetype i = 0; i < names.size(); ++i) {
            const bool ok = told[i].startsWith(u"OK   "_s + names[i] + u": "_s);
            // The last run's outcome is information: a warning, never a failure.
            const bool information = names[i] == u"last run"_s || names[i] == u"update check"_s;
            const QString notOk = information ? u"WARN "_s : u"FAIL "_s;
            EXPECT_TRUE(ok || told[i].startsWith(notOk + names[i] + u": "_s))
                << name << " " << told[i].toStdString();
            fails += !ok && notOk == u"FAIL "_s;
            if (!ok) {
                failing.insert(names[i]);
                EXPECT_TRUE(told[i].contains(u" -> "_s)) << "a remedy: " << told[i].toStdString();
            }
        }
        EXPECT_EQ(failing, expected) << name << "\n" << outcome.output.toStdString();
        EXPECT_EQ(status, fails == 0 ? 0 : 2) << name << ": every FAIL line, and only one, is 2";
        if (fails > 0)
            EXPECT_TRUE(told.last().startsWith(QString::number(fails) + u" check"_s)) << name;
        EXPECT_EQ(outcome.errors, QByteArray()) << name;
        EXPECT_FALSE(QDir(path("program/logs")).exists()) << name << ": no run log";
        QDirIterator archives(path(QString()), {u"*.ZIP"_s}, QDir::Files,
                              QDirIterator::Subdirectories);
        EXPECT_FALSE(archives.hasNext()) << name << ": no archive";
        EXPECT_FALSE(probeLeftAnywhere()) << name;
        if (expected.empty())
            EXPECT_TRUE(told[8].contains(u"\"Nightly\" next run 20"_s)) << told[8].toStdString();
        QDir(path("program/ZIPS")).removeRecursively();
    }

    void saveTask(const QString &name, const QString &application,
                  const QString &commandLine = u"/Silent"_s)
    {
        ScriptedPropertySheet sheet;
        const auto scheduler = makeTaskScheduler(sheet);
        const auto task = scheduler->CreateTask(name);
        task->setApplicationName(application);
        task->setCommandLine(commandLine);
        TaskTrigger &trigger = task->addTrigger();
        trigger.BeginDay = QDateTime(QDate(2026, 1, 1), QTime(0, 0));
        trigger.StartTime = QDateTime(QDate(2026, 1, 1), QTime(2, 30));
        task->Save();
    }
};

// Each line of stderr against its pattern, and the system log holding the same lines, each as a
// failure (user facility, error severity: 8 + 3).
void expectHeard(const QStringList &told, const std::vector<SystemLogCatcher::Entry> &logged,
                 const QStringList &patterns, const char *name)
{
    ASSERT_EQ(told.size(), patterns.size()) << name << "\n" << told.join('\n').toStdString();
    for (qsizetype i = 0; i < told.size(); ++i)
        EXPECT_TRUE(QRegularExpression(u"^"_s + patterns[i] + u"$"_s).match(told[i]).hasMatch())
            << name << "\n"
            << told[i].toStdString() << "\n"
            << patterns[i].toStdString();
    ASSERT_EQ(logged.size(), size_t(told.size())) << name;
    for (qsizetype i = 0; i < told.size(); ++i) {
        EXPECT_EQ(logged[size_t(i)].priority, 11) << name << " " << told[i].toStdString();
        EXPECT_EQ(logged[size_t(i)].tag + u": "_s + logged[size_t(i)].text, told[i]) << name;
    }
}

TEST_F(AdminTest, UnattendedFailuresAreHeardOnStderrAndInTheSystemLog)
{
    SystemLogCatcher syslog(path("syslog.socket"));
    ASSERT_TRUE(syslog.bound());
    const QString runLog =
        uR"re(run log: .*/program/logs/Sorvik_Log__\d{6}_\d\d_\d\d_\d\d\.TXT)re"_s;
    const QString failed =
        uR"re(the unattended run ended with exit status 1 \(the archive run failed: .*\); )re"_s;
    const QString refused =
        uR"re(the unattended run ended with exit status 2 \(the start was refused: .*\); 0 "\(error\)" lines)re"_s;
    const QString noDisplay =
        u"no display to show the window on; use /Silent for an unattended run, or --help"_s;
    QStringList tenErrors;
    for (int i = 0; i < 10; ++i)
        tenErrors << u"Sorvik:   .*: \\(error\\) .*"_s;
    const struct {
        const char *name;
        std::function<void()> setUp;
        QString prefix;
        QStringList arguments;
        int status;
        QStringList told;
    } cases[] = {
        {"clean run", [&] { setUpWell(); }, QString(), {u"nightly"_s, u"/sIlEnT"_s, u"x"_s}, 0, {}},
        {"no archive folder stored",
         [&] { storeArchiveFolder(QString()); },
         QString(),
         {u"/Silent"_s},
         1,
         {u"Sorvik: "_s + failed + u"1 \"\\(error\\)\" line:"_s,
          uR"re(Sorvik:   .*: \(error\) no folder location defined to store archived log file output\.  Exiting application)re"_s,
          u"Sorvik: "_s + runLog}},
        // Without its helper every diag_ file costs two "(error)" lines.
        {"a run with twelve errors",
         [&] {
             setUpWell({u"--diag"_s, u"6"_s});
             QFile::remove(path(u"program/"_s + helper));
         },
         QString(),
         {u"/Silent"_s},
         1,
         QStringList{u"Sorvik: "_s + failed + u"12 \"\\(error\\)\" lines, the first 10:"_s} +
             tenErrors + QStringList{u"Sorvik: "_s + runLog}},
        {"served product not registered",
         [&] { simulate({u"--no-components"_s}); },
         QString(),
         {u"/Silent"_s},
         2,
         {uR"re(Sorvik: Orvel is not running: its status object \(class \{60EB7702-6A7A-11D1-8029-00C04FAD610B\}\) is not registered or cannot be loaded - no archive run)re"_s,
          u"Sorvik: "_s + refused, u"Sorvik: no run log was written"_s}},
        {"registry file missing",
         [&] { QFile::remove(path("orvel/registry.reg")); },
         QString(),
         {u"/Silent"_s},
         2,
         {u"Sorvik: Cannot open registry file .*/orvel/registry.reg.*"_s,
          u"Sorvik: Orvel is not running: its status object .* - no archive run"_s,
          u"Sorvik: "_s + refused, u"Sorvik: no run log was written"_s}},
        {"served product stopped",
         [&] { setUpWell(); },
         u"ORVEL_SIM_STATUS=7"_s,
         {u"/Silent"_s},
         2,
         {uR"re(Sorvik: Orvel is not running: its status is 7, not 32 \(running\) - no archive run)re"_s,
          u"Sorvik: "_s + refused, u"Sorvik: no run log was written"_s}},
        {"no display",
         [] {},
         u"unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM;"_s,
         {},
         2,
         {u"Sorvik: "_s + noDisplay}},
        {"a display nobody serves",
         [] {},
         u"unset WAYLAND_DISPLAY QT_QPA_PLATFORM; DISPLAY=:97"_s,
         {},
         2,
         {u"Sorvik: "_s + noDisplay}},
    };
    for (const auto &c : cases) {
        c.setUp();
        syslog.take();
        const Outcome outcome = runThrough(c.prefix, c.arguments);
        EXPECT_EQ(outcome.status, c.status) << c.name << outcome.errors.toStdString();
        expectHeard(lines(outcome.errors), syslog.take(), c.told, c.name);
        QDir(path("program/logs")).removeRecursively();
    }
}

TEST_F(AdminTest, TheOutcomeOfEveryRunIsRecordedForMonitoring)
{
    QDir().mkpath(path("metrics"));
    qputenv("SORVIK_METRICS_DIR", QFile::encodeName(path("metrics")));
    // Read back by Debian's own parsers: the JSON module and the metrics client's text parser.
    // The documented alerts, evaluated over the file a minute and 27 hours after the run; the
    // entries counted by Python's own ZIP reader.
    writeFile("read-outcome.py", R"(import json, sys, zipfile
from datetime import datetime
from prometheus_client.parser import text_string_to_metric_families
sys.dont_write_bytecode = True
sys.path.insert(0, sys.argv[3] + "/tests/support")
import promql
state = json.load(open(sys.argv[1]))
for key in ("started", "ended", "last_success"):
    moment = datetime.fromisoformat(state[key] or "1970-01-01T00:00:00+00:00")
    assert moment.utcoffset() is not None, state[key]
    state[key] = moment.timestamp()
metrics = {}
text = open(sys.argv[2]).read()
for family in text_string_to_metric_families(text):
    assert family.type == "gauge" and family.documentation, family
    for sample in family.samples:
        metrics[sample.name] = sample.value
alerts = promql.documented_alerts(open(sys.argv[3] + "/docs/administration.md").read())
firing = {when: ",".join(promql.firing(alerts, text, state["ended"] + after))
          for when, after in (("now", 60), ("later", 27 * 3600))}
entries = len(zipfile.ZipFile(state["archive"]).namelist()) if state["archive"] else 0
print(json.dumps({"state": state, "metrics": metrics, "firing": firing, "entries": entries}))
)");
    const struct {
        const char *name;
        std::function<void()> setUp;
        int status;
        int errors;
        bool archive;
        bool runLog;
        QString firingNow, firingLater;
    } cases[] = {
        {"clean", [&] { setUpWell(); }, 0, 0, true, true, u""_s, u"SorvikNoSuccessFor26Hours"_s},
        {"failed", [&] { storeArchiveFolder(QString()); }, 1, 1, false, true, u"SorvikRunFailed"_s,
         u"SorvikNoSuccessFor26Hours,SorvikRunFailed"_s},
        {"refused", [&] { simulate({u"--no-components"_s}); }, 2, 0, false, false,
         u"SorvikRunFailed"_s, u"SorvikNoSuccessFor26Hours,SorvikRunFailed"_s},
    };
    double lastSuccess = 0;
    for (const auto &c : cases) {
        c.setUp();
        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        EXPECT_EQ(run({u"/Silent"_s}).status, c.status) << c.name;
        QProcess python;
        python.start(u"/usr/bin/python3"_s,
                     {path("read-outcome.py"), path("state/sorvik/last-run.json"),
                      path("metrics/sorvik.prom"), u"" SORVIK_SOURCE_DIR ""_s});
        ASSERT_TRUE(python.waitForFinished(60000));
        ASSERT_EQ(python.exitCode(), 0) << c.name << python.readAllStandardError().toStdString();
        const QJsonObject read = QJsonDocument::fromJson(python.readAllStandardOutput()).object();
        const QJsonObject state = read[u"state"].toObject();
        const QJsonObject metrics = read[u"metrics"].toObject();
        EXPECT_EQ(state[u"exit_status"].toInt(-1), c.status) << c.name;
        EXPECT_EQ(state[u"errors"].toInt(-1), c.errors) << c.name;
        EXPECT_EQ(state[u"archive"].isString(), c.archive) << c.name;
        EXPECT_EQ(state[u"run_log"].isString(), c.runLog) << c.name;
        const QString archive = state[u"archive"].toString();
        EXPECT_EQ(qint64(state[u"archive_bytes"].toDouble(-1)),
                  c.archive ? QFileInfo(archive).size() : 0)
            << c.name;
        if (c.archive)
            EXPECT_TRUE(archive.startsWith(path("archive/LOG_Archive_"))) << c.name;
        if (c.runLog)
            EXPECT_TRUE(QFileInfo(state[u"run_log"].toString()).isFile()) << c.name;
        const double started = state[u"started"].toDouble();
        const double ended = state[u"ended"].toDouble();
        EXPECT_LE(double(before.toSecsSinceEpoch()), started) << c.name;
        EXPECT_LE(started, ended) << c.name;
        EXPECT_LE(ended, double(QDateTime::currentSecsSinceEpoch())) << c.name;
        // The last success is kept across the failing runs after it.
        lastSuccess = c.status == 0 ? ended : lastSuccess;
        EXPECT_EQ(state[u"last_success"].toDouble(), lastSuccess) << c.name;
        const double duration = state[u"duration_seconds"].toDouble(-1);
        EXPECT_TRUE(duration >= 0 && duration <= ended - started + 1) << c.name << duration;
        EXPECT_EQ(state[u"entries"].toInt(-1), read[u"entries"].toInt()) << c.name;
        // Each gauge says what last-run.json says.
        const std::pair<const char *, double> gauges[] = {
            {"run_exit_status", c.status},
            {"run_errors", c.errors},
            {"archive_bytes", state[u"archive_bytes"].toDouble()},
            {"run_start_timestamp_seconds", started},
            {"run_end_timestamp_seconds", ended},
            {"success_timestamp_seconds", lastSuccess},
            {"run_success", c.status == 0},
            {"run_duration_seconds", duration},
            {"archive_entries", read[u"entries"].toDouble()}};
        for (const auto &[name, value] : gauges)
            EXPECT_EQ(metrics[u"sorvik_last_"_s + QLatin1String(name)].toDouble(-1), value)
                << c.name << " " << name;
        const QJsonObject firing = read[u"firing"].toObject();
        EXPECT_EQ(firing[u"now"].toString(), c.firingNow) << c.name;
        EXPECT_EQ(firing[u"later"].toString(), c.firingLater) << c.name;
        // Written whole: no temporary file left beside either.
        EXPECT_EQ(QDir(path("state/sorvik")).entryList(QDir::Files | QDir::Hidden),
                  QStringList{u"last-run.json"_s});
        EXPECT_EQ(QDir(path("metrics")).entryList(QDir::Files | QDir::Hidden),
                  QStringList{u"sorvik.prom"_s});
    }
}

TEST_F(AdminTest, TheOutcomeIsNeverWrittenThroughALink)
{
    setUpWell();
    writeFile("victim", "kept\n");
    QDir().mkpath(path("state/sorvik"));
    ASSERT_TRUE(QFile::link(path("victim"), path("state/sorvik/last-run.json")));
    QDir().mkpath(path("elsewhere"));
    ASSERT_TRUE(QFile::link(path("elsewhere"), path("metrics-link")));
    qputenv("SORVIK_METRICS_DIR", QFile::encodeName(path("metrics-link")));

    const Outcome outcome = run({u"/Silent"_s});
    EXPECT_EQ(outcome.status, 0) << "the run itself succeeded";
    EXPECT_EQ(readFile("victim"), "kept\n");
    EXPECT_FALSE(QFileInfo(path("state/sorvik/last-run.json")).isSymLink());
    EXPECT_TRUE(
        QDir(path("elsewhere"))
            .isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System));
    EXPECT_TRUE(QString::fromUtf8(outcome.errors)
                    .startsWith(u"Sorvik: the outcome of this run cannot be recorded in "_s +
                                path("metrics-link/sorvik.prom")))
        << outcome.errors.toStdString();
}

// A user name and password written into a path (the archive folder in each of its forms, the
// passphrase file, Orvel's logging folder) are in no output of a run or of --check: stdout,
// stderr, the system log, the run log, last-run.json and sorvik.prom show each path masked.
TEST_F(AdminTest, APasswordInAPathIsShownNowhere)
{
    SystemLogCatcher syslog(path("syslog.socket"));
    ASSERT_TRUE(syslog.bound());
    QDir().mkpath(path("metrics"));
    qputenv("SORVIK_METRICS_DIR", QFile::encodeName(path("metrics")));
    const QString server = u"user:S3cret@127.0.0.1"_s;
    const std::pair<QString, QString> cases[] = {
        {u"frmMain/ArchiveFolderPath"_s, u"smb://"_s + server + u":9/share/"_s},
        {u"frmMain/ArchiveFolderPath"_s, u"//"_s + server + u"/s/"_s},
        {u"frmMain/ArchiveFolderPath"_s, u"\\\\"_s + server + u"\\s\\"_s},
        {u"Archive/PassphraseFile"_s, u"//"_s + server + u"/p"_s},
        {u"Output Path"_s, u"//"_s + server + u"/l"_s},
        {u"Archive/ObfuscateWords"_s, u"//"_s + server + u"/w"_s},
    };
    for (const auto &[key, value] : cases) {
        setUpWell();
        if (key == u"Output Path"_s)
            writeFile("orvel/registry.reg",
                      readFile("orvel/registry.reg")
                          .replace(QFile::encodeName(path("orvel/logs")), value.toUtf8()));
        else
            settings().setValue(key, value);
        settings().setValue(u"Archive/Obfuscate"_s, key == u"Archive/ObfuscateWords"_s);
        QDir(path("program/logs")).removeRecursively();
        syslog.take();
        const Outcome silent = run({u"/Silent"_s}), check = run({u"--check"_s});
        QString told =
            QString::fromUtf8(silent.output + silent.errors + check.output + check.errors);
        for (const auto &entry : syslog.take())
            told += entry.text + u'\n';
        told += runLogText() + QString::fromUtf8(readFile("state/sorvik/last-run.json") +
                                                 readFile("metrics/sorvik.prom"));
        EXPECT_FALSE(told.contains(u"S3cret"_s)) << value.toStdString() << told.toStdString();
        EXPECT_GE(told.count(u"***@127.0.0.1"_s), 3) << value.toStdString() << told.toStdString();
    }
}

TEST_F(AdminTest, CheckTellsEachBrokenSetUpAndArchivesNothing)
{
    const std::set<QString> registryDependent{u"registry file"_s, u"logging folder"_s, u"Orvel"_s,
                                              u"diagnostic formatter"_s};
    const QByteArray failedRun = R"({"started": "2026-12-04T02:30:00+01:00", "ended":
        "2026-12-04T02:30:05+01:00", "exit_status": 1, "errors": 3, "archive": null,
        "archive_bytes": 0, "run_log": null})";
    const struct {
        const char *name;
        std::function<void()> breakIt;
        std::set<QString> failing;
        QString prefix;
        int status;
    } cases[] = {
        {"all passing", [] {}, {}, QString(), 0},
        {"registry file missing", [&] { QFile::remove(path("orvel/registry.reg")); },
         registryDependent, QString(), 2},
        {"no logging folder named",
         [&] { simulate({u"--no-logging-folder"_s}); },
         {u"logging folder"_s},
         QString(),
         2},
        {"logging folder missing",
         [&] { QDir(path("orvel/logs")).removeRecursively(); },
         {u"logging folder"_s},
         QString(),
         2},
        {"served product stopped", [] {}, {u"Orvel"_s}, u"ORVEL_SIM_STATUS=0"_s, 2},
        {"served product too old",
         [&] {
             simulate({u"--version"_s, u"2.9"_s});
         },
         {u"Orvel"_s},
         QString(),
         2},
        {"formatter helper missing",
         [&] { QFile::remove(path(u"program/"_s + helper)); },
         {u"diagnostic formatter"_s},
         QString(),
         2},
        {"no archive folder stored",
         [&] { storeArchiveFolder(QString()); },
         {u"archive folder"_s},
         QString(),
         2},
        {"archive folder takes no file",
         [&] { storeArchiveFolder(u"/proc/"_s); },
         {u"archive folder"_s},
         QString(),
         2},
        {"archive folder is the program's own",
         [&] {
             QDir().mkpath(path("program/ZIPS"));
             storeArchiveFolder(path("program/ZIPS/"));
         },
         {u"archive folder"_s},
         QString(),
         2},
        {"task folder missing",
         [] {},
         {u"scheduled tasks"_s},
         u"SORVIK_CRON_DIR=/nonexistent/cron.d"_s,
         2},
        {"a task passes what the program refuses",
         [&] { saveTask(u"Typo"_s, program(), u"/Silent --chek"_s); },
         {u"scheduled tasks"_s},
         QString(),
         2},
        {"a task starts a program that is gone",
         [&] { saveTask(u"Gone"_s, path("old-program/Sorvik")); },
         {u"scheduled tasks"_s},
         QString(),
         2},
        {"a retention value that cannot be read",
         [&] { settings().setValue(u"Archive/KeepDays"_s, u"7d"_s); },
         {u"archive settings"_s},
         QString(),
         2},
        {"a passphrase file others may read",
         [&] {
             writeOwnedFile(path("pass"), "secret\n", 0644);
             settings().setValue(u"Archive/PassphraseFile"_s, path("pass"));
         },
         {u"archive settings"_s},
         QString(),
         2},
        {"an obfuscation key others may read",
         [&] {
             writeOwnedFile(path("config/Sorvik/obfuscation.key"), QByteArray(64, '7'), 0644);
             settings().setValue(u"Archive/Obfuscate"_s, true);
         },
         {u"obfuscation"_s},
         QString(),
         2},
        {"archive folder on a share nobody serves",
         [&] { storeArchiveFolder(u"smb://127.0.0.1:9/share/"_s); },
         {u"archive folder"_s},
         QString(),
         2},
        // Shown, but the next run does not depend on it; another failure still counts alone.
        {"last run failed and archive folder missing",
         [&] {
             storeArchiveFolder(path("gone/"));
             writeFile("state/sorvik/last-run.json", failedRun);
         },
         {u"archive folder"_s, u"last run"_s},
         QString(),
         2},
        {"last run damaged",
         [&] { writeFile("state/sorvik/last-run.json", "{\"started"); },
         {u"last run"_s},
         QString(),
         0},
    };
    for (const auto &c : cases)
        expectCheck(c.name, c.breakIt, c.failing, c.prefix, c.status);
}

TEST_F(AdminTest, CheckFindsTooLittleSpace)
{
    if (::geteuid() != 0 || !QFile::exists(u"/usr/bin/unshare"_s))
        GTEST_SKIP() << "mounting a small file system needs root and unshare";
    // An archive folder on a volume smaller than the logs.
    expectCheck(
        "too little space",
        [&] {
            QDir().mkpath(path("small"));
            storeArchiveFolder(path("small/"));
        },
        {u"free space"_s}, u"mount -t tmpfs -o size=64k tmpfs '"_s + path("small") + u"' &&"_s, 2);
}

// A run log as the rules describe it, made here rather than by the program: UTF-16LE with its
// byte-order mark, CR LF after every line, the five header entries, then time-stamped events.
const QString rule(64, u'=');
const QStringList header{
    rule,      u"Running Sorvik, version 1.0.1"_s,
    QString(), u"Local time=12/04/26 02:30:00"_s,
    rule,      u"**Search for '(error)' or '(warning)' strings in the log for problems**"_s,
    QString()};

// `escaped`: as --last-log prints them, a control character spelt out.
QStringList stamped(const QStringList &events, bool escaped = true)
{
    QStringList out;
    for (const QString &event : events)
        out << u"12/04/26 02:30:01: "_s +
                   (escaped ? QString(event).replace(u'\x1b', u"\\x1b"_s) : event);
    return out;
}

QByteArray utf16Log(const QStringList &events)
{
    return utf16Le((header + stamped(events, false)).join(u"\r\n"_s) + u"\r\n"_s);
}

// Stored from a shell after the window's checks, a relative path made absolute; what is refused
// leaves the setting as it was. (That a run then delivers there: the docs' and package's tests.)
TEST_F(AdminTest, ArchiveFolderIsStoredAfterTheWindowsChecks)
{
    setUpWell();
    storeArchiveFolder(QString());
    QDir().mkpath(path("program/ZIPS"));
    // Each folder, and what stderr (or for the one stored, stdout) says of it.
    for (const auto &[folder, said] :
         {std::pair{path("gone"), u"gone/: it does not exist"_s},
          {path("program/ZIPS"), u"own working folders"_s},
          {u"smb://127.0.0.1:9/share/"_s, u"(server 127.0.0.1, share share: "_s},
          {u"archive"_s, u"is "_s + path("archive/") + u" (ArchiveFolderPath under [frmMain]"_s}}) {
        const Outcome outcome =
            runThrough(u"cd '"_s + path(QString()) + u"' &&"_s, {u"--archive-folder"_s, folder});
        const bool stored = folder == u"archive"_s;
        EXPECT_EQ(outcome.status, stored ? 0 : 1) << folder.toStdString();
        EXPECT_TRUE(QString::fromUtf8(stored ? outcome.output : outcome.errors).contains(said))
            << outcome.output.toStdString() << outcome.errors.toStdString();
        EXPECT_EQ(settings().value(u"frmMain/ArchiveFolderPath"_s).toString(),
                  stored ? path("archive/") : QString());
    }
}

TEST_F(AdminTest, LastLogPrintsRunLogsAsUtf8AndMistakesStartNothing)
{
    EXPECT_EQ(run({u"--last-log"_s}).status, 1) << "no run log yet";
    const QStringList older{u"    Starting ZIP file archive"_s, u"(error) the older run"_s};
    const QStringList newer{u"    Starting ZIP file archive"_s,
                            u"(warning) not archived, not a regular file:/var/log/data_ä"_s,
                            u"    Adding file 日志 with a \x1b[31m colour"_s,
                            u"(ERROR) in ArchiveFiles on frmMain:disk full"_s,
                            u"    File copied"_s};
    writeFile("program/logs/Sorvik_Log__261203_02_30_00.TXT", utf16Log(older));
    writeFile("program/logs/Sorvik_Log__261204_02_30_00.TXT", utf16Log(newer));
    writeFile("program/logs/unrelated.TXT", "not a run log");
    QFile(path("program/logs/Sorvik_Log__261203_02_30_00.TXT"))
        .setFileTime(QDateTime::currentDateTime().addDays(-1), QFileDevice::FileModificationTime);

    const struct {
        QStringList arguments;
        int status;
        QStringList output;
    } cases[] = {
        {{u"--last-log"_s}, 0, header + stamped(newer)},
        {{u"--last-log"_s, u"1"_s}, 0, header + stamped(newer)},
        {{u"--last-log"_s, u"2"_s}, 0, header + stamped(older)},
        {{u"--last-log"_s, u"--problems"_s}, 0, stamped({newer[1], newer[3]})},
        {{u"--last-log"_s, u"2"_s, u"--problems"_s}, 0, stamped({older[1]})},
        {{u"--last-log"_s, u"--problems"_s, u"2"_s}, 0, stamped({older[1]})},
        {{u"--last-log"_s, u"3"_s}, 1, {}},
        {{u"--last-log"_s, u"0"_s}, 2, {}},
        {{u"--last-log"_s, u"x"_s}, 2, {}},
        {{u"--last-log"_s, u"1"_s, u"1"_s}, 2, {}},
        {{u"--check"_s, u"--problems"_s}, 2, {}},
        {{u"--archive-folder"_s}, 2, {}},
        // A mistyped option, or one of ours beside /Silent, starts nothing: it is named.
        {{u"--chek"_s}, 2, {}},
        {{u"-v"_s}, 2, {}},
        {{u"--silent"_s}, 2, {}},
        {{u"/Silent"_s, u"--bogus"_s}, 2, {}},
        {{u"/Silent"_s, u"--check"_s}, 2, {}},
        {{u"/SILENT"_s, u"--help"_s}, 2, {}},
        {{u"--version"_s, u"/Silent"_s}, 2, {}},
    };
    for (const auto &c : cases) {
        const Outcome outcome = run(c.arguments);
        const std::string name = c.arguments.join(' ').toStdString();
        EXPECT_EQ(outcome.status, c.status) << name << outcome.errors.toStdString();
        EXPECT_EQ(outcome.output,
                  c.status == 0 ? (c.output.join(u'\n') + u'\n').toUtf8() : QByteArray())
            << name;
        EXPECT_EQ(outcome.errors.isEmpty(), c.status == 0) << name;
        if (c.status == 2)
            EXPECT_TRUE(outcome.errors.contains(c.arguments.last().toUtf8())) << name;
    }
    EXPECT_EQ(QDir(path("program"))
                  .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name),
              (QStringList{u"Sorvik"_s, u"logs"_s, QString(helper)}))
        << "no lock, no archive folders";
}

} // namespace
