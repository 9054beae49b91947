// What the administrator of a server without a display meets: failures told on stderr and in the
// system log, "--check", "--last-log", and the outcome of every run for monitoring.
#include "e2e/RunTable.h"
#include "schedule/TaskScheduler.h"
#include "support/OwnedFile.h"
#include "support/ScriptedPropertySheet.h"
#include "support/Utf16.h"

#include <QDirIterator>

#include <functional>
#include <set>

#include <pwd.h>
#include <unistd.h>

namespace {

class AdminTest : public RunTable {
protected:
    void setUpWell() { RunTable::setUpWell({}); }

    // "--check" on a set-up where everything passes, then broken by `breakIt`: exactly `failing`
    // fail (the last run and the update check inform: they warn), each with a remedy, and
    // nothing is archived, logged or left behind.
    void expectCheck(const char *name, const std::function<void()> &breakIt,
                     const std::set<QString> &failing, const QString &prefix = QString(),
                     const QString &said = QString())
    {
        QDir(path("cron.d")).removeRecursively();
        QDir().mkpath(path("cron.d"));
        setUpWell();
        saveTask(u"Nightly"_s, program());
        breakIt();
        const Outcome outcome = runThrough(prefix, {u"--check"_s});
        QStringList told, expected;
        for (const QString &line : QString::fromUtf8(outcome.output).split(u'\n'))
            told << line.section(u": "_s, 0, 0) + (line.contains(u" -> "_s) ? u" ->"_s : u""_s);
        int fails = 0;
        for (const QString &check :
             {u"registry file"_s, u"logging folder"_s, u"Orvel"_s, u"diagnostic formatter"_s,
              u"archive folder"_s, u"working folders"_s, u"archive settings"_s, u"free space"_s,
              u"update check"_s, u"scheduled tasks"_s, u"obfuscation"_s, u"last run"_s}) {
            const bool informs = check == u"last run"_s || check == u"update check"_s;
            fails += failing.count(check) && !informs;
            expected << (!failing.count(check)
                             ? u"OK   "_s + check
                             : (informs ? u"WARN "_s : u"FAIL "_s) + check + u" ->"_s);
        }
        expected << (fails == 0 ? u"an unattended run would start and find what it needs"_s
                                : u"%1 check%2 failed"_s.arg(fails).arg(fails == 1 ? "" : "s"))
                 << QString();
        EXPECT_EQ(told, expected) << name << "\n" << outcome.output.toStdString();
        EXPECT_EQ(outcome.status, fails == 0 ? 0 : 2) << name;
        EXPECT_TRUE(outcome.output.contains(said.toUtf8())) << name;
        EXPECT_EQ(outcome.errors, QByteArray()) << name;
        EXPECT_FALSE(QDir(path("program/logs")).exists()) << name << ": no run log";
        QDirIterator left(path(QString()), {u"*.ZIP"_s, u"temp.test.*"_s}, QDir::Files,
                          QDirIterator::Subdirectories);
        EXPECT_FALSE(left.hasNext()) << name << ": no archive, no write probe";
        EXPECT_TRUE(!failing.empty() || outcome.output.contains("\"Nightly\" next run 20"));
        QDir(path("program/ZIPS")).removeRecursively();
    }
};

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

    // A state folder swapped for a link: what lies behind it is not taken for ours.
    QDir().mkpath(path("behind"));
    writeFile("behind/current-run.json",
              R"({"started": "2026-12-04T02:30:00Z", "pid": 2147483000})");
    QDir(path("state/sorvik")).removeRecursively();
    ASSERT_TRUE(QFile::link(path("behind"), path("state/sorvik")));
    EXPECT_FALSE(run({u"--check"_s}).output.contains("did not record"));
    EXPECT_FALSE(run({u"/Silent"_s}).errors.contains("did not record"));
    // A state folder that cannot be made: the level that could not, and why (not the open that
    // failed after it).
    qputenv("XDG_STATE_HOME", "/sys/sorvik-state");
    const QByteArray said = run({u"/Silent"_s}).errors;
    EXPECT_TRUE(said.contains("last-run.json: Cannot create folder '/sys/sorvik-state': "))
        << said.toStdString();
}

// A user name and password written into a path (the archive folder in each of its forms, the
// passphrase file, Orvel's logging folder) are in no output of a run or of --check: stdout,
// stderr, the system log, the run log, last-run.json and sorvik.prom show each path masked.
TEST_F(AdminTest, APasswordInAPathIsShownNowhere)
{
    const QString server = u"user:p@S3cret@127.0.0.1"_s;
    const std::pair<QString, QString> cases[] = {
        {u"frmMain/ArchiveFolderPath"_s, u"smb://"_s + server + u":9/share/"_s},
        {u"frmMain/ArchiveFolderPath"_s, u"//"_s + server + u"/s/"_s},
        {u"frmMain/ArchiveFolderPath"_s, u"\\\\"_s + server + u"\\s\\"_s},
        // A password holding a separator: its "@" is past the server part.
        {u"frmMain/ArchiveFolderPath"_s, u"//user:p/S3cret@127.0.0.1/s/"_s},
        {u"Archive/PassphraseFile"_s, u"//"_s + server + u"/p"_s},
        {u"Output Path"_s, u"//"_s + server + u"/l"_s},
        {u"Archive/ObfuscateWords"_s, u"//"_s + server + u"/w"_s},
    };
    for (const auto &[key, value] : cases) {
        const auto use = [&, key, value] {
            settings().setValue(u"Archive/Obfuscate"_s, key == u"Archive/ObfuscateWords"_s);
            if (key != u"Output Path"_s)
                return settings().setValue(key, value);
            writeFile("orvel/registry.reg",
                      readFile("orvel/registry.reg")
                          .replace(QFile::encodeName(path("orvel/logs")), value.toUtf8()));
        };
        check({.name = "a password in a path",
               .setUp = use,
               .status = 1,
               .logged = {runHeader},
               .secret = "S3cret",
               .after = [&](const QString &said) {
                   const Outcome check = run({u"--check"_s});
                   const QString all = said + QString::fromUtf8(check.output + check.errors);
                   EXPECT_FALSE(all.contains(u"S3cret"_s)) << all.toStdString();
                   EXPECT_GE(all.count(u"***@127.0.0.1"_s), 3) << all.toStdString();
               }});
    }
}

TEST_F(AdminTest, CheckTellsEachBrokenSetUpAndArchivesNothing)
{
    const std::set<QString> registryDependent{u"registry file"_s, u"logging folder"_s, u"Orvel"_s,
                                              u"diagnostic formatter"_s};
    const std::set<QString> folder{u"archive folder"_s}, tasks{u"scheduled tasks"_s},
        settingsFail{u"archive settings"_s}, logging{u"logging folder"_s};
    const QByteArray failedRun = R"({"started": "2026-12-04T02:30:00+01:00", "ended":
        "2026-12-04T02:30:05+01:00", "exit_status": 1, "errors": 3, "archive": null,
        "archive_bytes": 0, "run_log": null})";
    const auto store = [](const QString &folder) {
        return [folder] { storeArchiveFolder(folder); };
    };
    const struct {
        const char *name;
        std::function<void()> breakIt;
        std::set<QString> failing;
        QString prefix{};
        QString said{};
    } cases[] = {
        {"all passing", [] {}, {}},
        {"registry file missing", [&] { QFile::remove(path("orvel/registry.reg")); },
         registryDependent},
        {"no logging folder named", [&] { simulate({u"--no-logging-folder"_s}); }, logging},
        {"logging folder missing", [&] { QDir(path("orvel/logs")).removeRecursively(); }, logging},
        {"served product stopped", [] {}, {u"Orvel"_s}, u"ORVEL_SIM_STATUS=0"_s},
        {"served product too old",
         [&] {
             simulate({u"--version"_s, u"2.9"_s});
         },
         {u"Orvel"_s}},
        {"formatter helper missing",
         [&] { QFile::remove(path(u"program/"_s + helper)); },
         {u"diagnostic formatter"_s}},
        {"no archive folder stored", store(QString()), folder},
        {"archive folder takes no file", store(u"/proc/"_s), folder},
        // Not "does not exist": what is there is said.
        {"a file where the archive folder belongs",
         [&] { writeFile("file", "x"), storeArchiveFolder(path("file/")); },
         folder,
         {},
         u"file/ cannot be reached ('"_s + path("file/") + u"' is a file, not a folder)"_s},
        {"archive folder is the program's own",
         [&] { QDir().mkpath(path("program/ZIPS")), storeArchiveFolder(path("program/ZIPS/")); },
         folder},
        {"archive folder on a share nobody serves", store(u"smb://127.0.0.1:9/share/"_s), folder},
        // Each would end a run that --check once let pass.
        {"a file where the run log's folder belongs",
         [&] { writeFile("program/logs", "x"); },
         {u"working folders"_s}},
        {"a working folder full",
         [&] { QDir().mkpath(path("program/ZIPS")); },
         {u"working folders"_s, u"free space"_s},
         u"mount -t tmpfs -o size=4k tmpfs '"_s + path("program/ZIPS") + u"' &&"_s},
        {"task folder missing", [] {}, tasks, u"SORVIK_CRON_DIR=/nonexistent/cron.d"_s},
        {"a task passes what the program refuses",
         [&] { saveTask(u"Typo"_s, program(), u"/Silent --chek"_s); }, tasks},
        {"a task starts a program that is gone",
         [&] { saveTask(u"Gone"_s, path("old-program/Sorvik")); }, tasks},
        {"a retention value that cannot be read",
         [&] { settings().setValue(u"Archive/KeepDays"_s, u"7d"_s); }, settingsFail},
        {"a passphrase file others may read",
         [&] {
             writeOwnedFile(path("pass"), "secret\n", 0644),
                 settings().setValue(u"Archive/PassphraseFile"_s, path("pass"));
         },
         settingsFail},
        {"an obfuscation key others may read",
         [&] {
             writeOwnedFile(path("config/Sorvik/obfuscation.key"), QByteArray(64, '7'), 0644),
                 settings().setValue(u"Archive/Obfuscate"_s, true);
         },
         {u"obfuscation"_s}},
        // Shown, but the next run does not depend on it; another failure still counts alone.
        {"last run failed and archive folder missing",
         [&] {
             storeArchiveFolder(path("gone/")), writeFile("state/sorvik/last-run.json", failedRun);
         },
         {u"archive folder"_s, u"last run"_s}},
        {"a run whose end was never recorded",
         [&] {
             writeFile("state/sorvik/current-run.json",
                       R"({"started": "2026-12-04T02:30:00Z", "pid": 2147483000})");
         },
         {u"last run"_s},
         {},
         u"did not record how it ended and its process is gone"_s},
        {"last run damaged",
         [&] { writeFile("state/sorvik/last-run.json", "{\"started"); },
         {u"last run"_s}},
        // An archive folder on a volume smaller than the logs.
        {"too little space",
         [&] { QDir().mkpath(path("small")), storeArchiveFolder(path("small/")); },
         {u"free space"_s},
         u"mount -t tmpfs -o size=64k tmpfs '"_s + path("small") + u"' &&"_s},
    };
    for (const auto &c : cases)
        if (!c.prefix.startsWith(u"mount"_s) || ::geteuid() == 0)
            expectCheck(c.name, c.breakIt, c.failing, c.prefix, c.said);
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
    for (const char *folder : {"program/ZIPS", "program/TempDiags", "bound"})
        QDir().mkpath(path(folder));
    // Each folder, and what stderr (or for the one stored, stdout) says of it.
    for (const auto &[folder, said] :
         {std::pair{path("gone"), u"gone/: it does not exist"_s},
          {path("program/ZIPS"), u"own working folders"_s},
          {path("bound"), u"own working folders"_s}, // TempDiags/ under another path
          {u"smb://127.0.0.1:9/share/"_s, u"(server 127.0.0.1, share share: "_s},
          {u"archive"_s, u"is "_s + path("archive/") + u" (ArchiveFolderPath under [frmMain]"_s}}) {
        const QString bind =
            folder == path("bound") ? u" mount --bind program/TempDiags bound &&"_s : QString();
        const Outcome outcome = runThrough(u"cd '"_s + path(QString()) + u"' &&"_s + bind,
                                           {u"--archive-folder"_s, folder});
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
    // The newer by its time sorts first by its name (a clock put back, a year's turn): the
    // files' times decide.
    writeFile("program/logs/Sorvik_Log__261204_02_30_00.TXT", utf16Log(older));
    writeFile("program/logs/Sorvik_Log__261203_02_30_00.TXT", utf16Log(newer));
    writeFile("program/logs/unrelated.TXT", "not a run log");
    // Only an open file takes a new time.
    QFile aged(path("program/logs/Sorvik_Log__261204_02_30_00.TXT"));
    ASSERT_TRUE(aged.open(QIODevice::ReadWrite) &&
                aged.setFileTime(QDateTime::currentDateTime().addDays(-1),
                                 QFileDevice::FileModificationTime));
    aged.close();

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
        if (c.status == 2) {
            EXPECT_TRUE(outcome.errors.contains(c.arguments.last().toUtf8())) << name;
        }
    }
    EXPECT_EQ(QDir(path("program"))
                  .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name),
              (QStringList{u"Sorvik"_s, u"logs"_s, QString(helper)}))
        << "no lock, no archive folders";
}

} // namespace

// Without HOME (a service with no account of its own, env -i), or with one that is no full path,
// the settings and the state are looked for in the account's own home, not under "/" or "./".
TEST_F(AdminTest, WithoutHomeTheAccountsOwnHomeIsUsed)
{
    setUpWell();
    for (const QString &home : {u"unset HOME"_s, u"export HOME=relative"_s}) {
        const Outcome outcome =
            runThrough(home + u"; unset XDG_CONFIG_HOME XDG_STATE_HOME;"_s, {u"--check"_s});
        EXPECT_TRUE(outcome.output.contains(::getpwuid(::geteuid())->pw_dir +
                                            QByteArray("/.config/Sorvik/Sorvik.ini")))
            << outcome.output.toStdString();
    }
}
