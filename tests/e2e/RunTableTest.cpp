// The built program, run as a process the way a scheduler or an administrator starts it.
#include "e2e/RunTable.h"

#include "support/Noise.h"
#include "support/OwnedFile.h"

#include <QHostInfo>
#include <QLibraryInfo>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString noDisplay =
    u"Sorvik: no display to show the window on; use /Silent for an unattended run, or --help"_s;
const QString notRunning = u"Sorvik: Orvel is not running: "_s;
const QByteArray usage = "Usage: Sorvik [/Silent]\n";

QStringList sim(int data, int diag, int dataSize = 0)
{
    QStringList options{u"--data"_s, QString::number(data), u"--diag"_s, QString::number(diag)};
    if (dataSize)
        options << u"--data-size"_s << QString::number(dataSize);
    return options;
}

TEST_F(RunTable, EveryRowKeepsItsPromise)
{
    const QByteArray secret = "Tr0ub4dor & 3 \xc3\xa9";
    const auto passphrase = [&](const QString &file) {
        settings().setValue(u"Archive/PassphraseFile"_s, file);
    };
    const QString host = QHostInfo::localHostName().section(u'.', 0, 0);
    const QString noDisplayHere = u"unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM;"_s;
    std::vector<Row> rows = {
        {.name = "a clean, encrypted run of served product 3.0 without a display, /Silent in "
                 "mixed case, as the start of a word, among other words",
         .simulation = sim(3, 2, 300000) << u"--version"_s << u"3.0"_s,
         .setUp =
             [&] {
                 writeFile("orvel/logs/data_\xe6\x97\xa5\xe5\xbf\x97.log", noise(5000, 3));
                 writeFile("orvel/logs/data_empty.log", QByteArray());
                 writeOwnedFile(path("secret/pass"), secret + "\nnot the passphrase\n", 0600);
                 passphrase(path("secret/pass"));
             },
         .prefix = noDisplayHere,
         .arguments = {u"nightly"_s, u"/sIlEnTly"_s, u"x"_s},
         .logged =
             {runHeader,
              u"    The archive is encrypted \\(AES-256\\) with the passphrase in .*/secret/pass"_s,
              fileCopied},
         .entries = 7,
         .names = {u"data_\u65e5\u5fd7.log"_s, u"data_empty.log"_s},
         .secret = secret,
         .encrypted = true},
        // Stopped for two seconds on the way: the outcome's moments are the run's own.
        {.name = "a run held up on the way",
         .simulation = sim(12, 0, 4000000),
         .logged = {runHeader, fileCopied},
         .entries = 12,
         .holdAt = u"Compressing files into zip"_s},
        {.name = "the archive folder removed during the run",
         .simulation = sim(12, 2, 4000000),
         .status = 1,
         .logged = {runHeader, u"\\(error\\) in CopyArchiveToTargetFolder on frmMain:.*"_s},
         .holdAt = u"Compressing files into zip"_s,
         .act = [&](QProcess &) { QDir(path("archive")).removeRecursively(); },
         .after = [&](const QString &) { EXPECT_FALSE(QFileInfo::exists(path("archive"))); }},
        {.name = "odd file names",
         .simulation = {u"--odd"_s},
         .status = 1,
         .logged = {runHeader},
         .entries = anyCount,
         .names = {u"diag_odd_lines.log.fmtd.txt"_s, u"diag_.fmtd.txt"_s, u"!abc"_s,
                   u"!data_hidden.log"_s}},
        // Without its helper every diag_ file costs two "(error)" lines.
        {.name = "twelve errors",
         .simulation = {u"--diag"_s, u"6"_s},
         .setUp = [&] { QFile::remove(path(u"program/"_s + helper)); },
         .status = 1,
         .logged = {runHeader},
         .entries = anyCount},
        {.name = "registry file missing",
         .setUp = [&] { QFile::remove(path("orvel/registry.reg")); },
         .status = 2,
         .told =
             {u"Sorvik: Cannot open registry file .*/orvel/registry.reg.*"_s,
              notRunning +
                  u"its status object \\(class \\{60EB7702-6A7A-11D1-8029-00C04FAD610B\\}\\) is not registered or cannot be loaded - no archive run"_s},
         // One lock file for the program, whoever starts it, and only its owner can open it.
         .after =
             [&](const QString &) {
                 EXPECT_EQ(QDir(path("program")).entryList(QDir::Files | QDir::Hidden),
                           (QStringList{u".Sorvik.lock"_s, u"Sorvik"_s, helper}));
                 EXPECT_EQ(QFile::permissions(path("program/.Sorvik.lock")),
                           QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser |
                               QFile::WriteUser);
                 EXPECT_TRUE(QDir(path("tmp")).isEmpty());
             }},
        {.name = "served product stopped",
         .prefix = u"ORVEL_SIM_STATUS=7"_s,
         .status = 2,
         .told = {notRunning + u"its status is 7, not 32 \\(running\\) - no archive run"_s}},
        {.name = "served product too old",
         .simulation = {u"--version"_s, u"2.9"_s},
         .status = 2,
         .told = {u"Sorvik: .*This utility only works with Orvel 4\\.0\\(1\\) and later.*"_s}},
        // An interactive start with an argument ends without a box: only its refusal is told.
        {.name = "no runtime folder",
         .simulation = {u"--no-components"_s},
         .prefix = u"unset XDG_RUNTIME_DIR;"_s,
         .arguments = {u"/x"_s},
         .status = 2,
         .told = {notRunning + u".*"_s}},
        {.name = "--version", .arguments = {u"--version"_s}, .output = "Sorvik 1.0.1\n"},
        // Named as it was started, as through the packages' /usr/bin/sorvik.
        {.name = "started through a link",
         .prefix = u"ln -sf \"$0\" '%1/sorvik' && exec '%1/sorvik' --help;"_s.arg(path("")),
         .arguments = {},
         .output = "Usage: sorvik [/Silent]\n"},
        // One log far larger than the limit once compressed costs its entry alone.
        {.name = "a file size limit",
         .simulation = sim(3, 0, 100000),
         .setUp = [&] { writeFile("orvel/logs/data_noise.log", noise(4 << 20, 1)); },
         .prefix = u"ulimit -f 2048;"_s,
         .status = 1,
         .logged = {runHeader,
                    u"\\(error\\) Failure appending file to zip\\.  File=.*/data_noise.log"_s},
         .entries = 3,
         .names = {u"!data_noise.log"_s}},
        // The run goes on without its log, whose lines go to stderr instead.
        {.name = "no place for the run log",
         .simulation = sim(2, 1),
         .setUp = [&] { writeFile("program/logs", "a file where the run logs' folder belongs"); },
         .status = 1,
         .told = {u"..."_s, u".*cannot be written.*"_s, u"..."_s, u".*"_s + fileCopied, u"..."_s},
         .entries = 3},
        // Even where a process may hold few files open: files wait for the workers without
        // holding one.
        {.name = "twenty thousand files",
         .simulation = {u"--data"_s, u"10000"_s, u"--data-size"_s, u"1024"_s, u"--diag"_s,
                        u"10000"_s, u"--diag-size"_s, u"1024"_s, u"--other"_s, u"0"_s},
         .prefix = u"ulimit -n 256;"_s,
         .logged = {runHeader, fileCopied},
         .entries = 20000},
        // KeepDays alone would remove the old archive.
        {.name = "a retention value that cannot be read",
         .setUp =
             [&] {
                 writeFile(u"archive/LOG_Archive_"_s + host + u"_200101_00_00_00.ZIP"_s, "old");
                 settings().setValue(u"Archive/KeepDays"_s, 1);
                 settings().setValue(u"Archive/KeepCount"_s, u"one"_s);
             },
         .status = 1,
         .logged =
             {runHeader,
              u"cannot be read: \"one\" is not a whole number from 0 to 99999 - no archive is removed from the archive folder\\."_s},
         .entries = 6},
    };
    // No archive folder stored, one that is missing, one that takes no new file (even from root).
    const std::tuple<const char *, QString, QString> folders[] = {
        {"no archive folder stored", QString(),
         u"no folder location defined to store archived log file output\\.  Exiting application"_s},
        {"the archive folder missing", path("gone/"),
         u"no archive folder location does not exist:.*/gone/ - exiting application\\."_s},
        {"a file where the archive folder belongs", path("orvel/registry.reg"),
         u"no archive folder location does not exist:.*g - exiting application\\. \\('.*/orvel/registry\\.reg' is a file, not a folder\\)"_s},
        {"an archive folder that takes no file", u"/proc//"_s,
         u"the archive folder location is visible however creation of new files failed .* Folder=/proc// - exiting application\\. \\(Cannot create file '/proc/temp\\.test[.0-9]*txt': .+\\)"_s}};
    for (const auto &[name, folder, said] : folders)
        rows.push_back({.name = name,
                        .setUp = [folder = folder] { storeArchiveFolder(folder); },
                        .status = 1,
                        .logged = {runHeader, u"\\(error\\) "_s + said}});
    // Settings that cannot be used leave the folder empty: the refusal says why.
    const auto settingsMode = [&](QFileDevice::Permissions mode) {
        return [&, mode] { QFile(path("config/Sorvik/Sorvik.ini")).setPermissions(mode); };
    };
    const QFileDevice::Permissions owner = QFile::ReadOwner | QFile::WriteOwner;
    rows.push_back({.name = "settings others may write to",
                    .setUp = settingsMode(owner | QFile::WriteOther),
                    .status = 1,
                    .told = {u"Sorvik: The settings file '.*' is not used: others may write to "
                             "it"_s},
                    .logged = {runHeader, u"\\(error\\) "_s + std::get<2>(folders[0]) +
                                              u" \\(The settings file '.*' is not used: others "
                                              "may write to it\\)"_s},
                    .ended = settingsMode(owner)});
    // Without a display only an unattended start goes on: "/Silent" in any case, anywhere among
    // the arguments, also as the start of a longer word, and nothing else.
    for (const auto &[prefix, arguments] :
         {std::pair{noDisplayHere, QStringList{}},
          {u"unset WAYLAND_DISPLAY QT_QPA_PLATFORM; DISPLAY=:97"_s, {}},
          {noDisplayHere, {u"Silent"_s}},
          {noDisplayHere, {u"/Sil"_s, u"ent"_s}}})
        rows.push_back({.name = "no display",
                        .prefix = prefix,
                        .arguments = arguments,
                        .status = 2,
                        .told = {noDisplay}});
    // A platform that cannot start, told in its own words with the advice that fits: a display
    // not there, or the program's own platform missing from the computer (root: a mount).
    for (const auto &[prefix, told] :
         {std::pair{
              u"unset WAYLAND_DISPLAY QT_LOGGING_RULES; export QT_QPA_PLATFORM=xcb DISPLAY=:97;"_s,
              u"\"xcb\" \\(could not connect to display :97; [^;]*\\); leave QT_QPA_PLATFORM "
              "unset for an unattended run"_s},
          {u"unset QT_QPA_PLATFORM; mount --bind '%1' '%2/platforms' &&"_s.arg(
               path("orvel"), QLibraryInfo::path(QLibraryInfo::PluginsPath)),
           u"\"minimal\" \\(.*\\); the toolkit's plugins are missing from this computer .*"_s}})
        if (!prefix.contains(u"mount"_s) || ::geteuid() == 0)
            rows.push_back(
                {.name = "an unattended run on a platform that cannot start",
                 .prefix = prefix,
                 .status = 2,
                 .told = {u"Sorvik: the toolkit cannot start its platform plugin "_s + told}});
    for (const char *help : {"--help", "-h", "/?"})
        rows.push_back({.name = help,
                        .arguments = {QString::fromLatin1(help)},
                        .output = usage,
                        .after = [&](const QString &said) {
                            EXPECT_TRUE(said.contains(path("program") + u":\n"_s))
                                << "names the folder of its run logs";
                        }});
    // Something at the lock's place, or a program folder that takes no lock: the start goes on
    // unguarded (here to be refused for want of the served product: status 3 is a running
    // instance's alone), and says why.
    const QString lock = path("program/.Sorvik.lock");
    // Where a link swapped in at the lock's place leads: nothing may be made there.
    const QString elsewhere = path("elsewhere");
    const struct {
        const char *name;
        std::function<void()> make;
        const char *reason;
        QString prefix{};
        bool asRoot = false;
        bool throughShim = false;
    } spoiled[] = {
        {"a FIFO at the lock's place", [&] { ::mkfifo(QFile::encodeName(lock).constData(), 0666); },
         "it is not a regular file"},
        {"a link put at the lock's place between the look and the open", [] {},
         "Too many levels of symbolic links",
         u"LD_PRELOAD='%1' SORVIK_FAULT_LINK='%2' SORVIK_FAULT_LINK_TO='%3'"_s.arg(
             builtFile(u"libsorvik_faultshim.so"_s), lock, elsewhere),
         false, true},
        // Only root gives a file away, or mounts.
        {"a lock file of another account",
         [&] { writeOwnedFile(lock, QByteArray(), 0600, nobodyAccount); },
         "it belongs to another account",
         {},
         true},
        {"a read-only program folder", [] {}, "Read-only file system",
         u"mount --bind '%1' '%1' && mount -o remount,ro,bind '%1' '%1' &&"_s.arg(path("program")),
         true},
    };
    for (const auto &c : spoiled)
        if ((::geteuid() == 0 || !c.asRoot) && !(sanitized && c.throughShim))
            rows.push_back(
                {.name = c.name,
                 .simulation = {u"--no-components"_s},
                 .setUp =
                     [&, make = c.make] {
                         QFile::remove(lock);
                         make();
                     },
                 .prefix = c.prefix,
                 .status = 2,
                 .told = {u"Sorvik: The lock file "_s + QRegularExpression::escape(lock) +
                              u" cannot be used \\("_s + QLatin1String(c.reason) +
                              u"\\)\\. The lock is kept in .*"_s,
                          notRunning + u".*"_s},
                 .after =
                     [&](const QString &) {
                         QFile::remove(lock);
                         EXPECT_FALSE(QFileInfo::exists(elsewhere));
                     }});
    // A passphrase file that cannot be used stops the run before anything is made, with one
    // "(error)" line. (Each reason it is refused for: the passphrase file's own tests.)
    rows.push_back(
        {.name = "a passphrase file others may read",
         .setUp =
             [&] {
                 writeOwnedFile(path("p"), "secret\n", 0644);
                 passphrase(path("p"));
             },
         .status = 1,
         .logged = {runHeader,
                    u"\\(error\\) the passphrase file .*/p cannot be used: .*\\(mode 0644\\)"_s},
         .after =
             [&](const QString &) {
                 EXPECT_EQ(runLogText().count(u": (error)"_s), 1);
                 EXPECT_TRUE(QDir(path("program/ZIPS")).isEmpty(QDir::Files | QDir::Hidden));
             }});
    if (::geteuid() == 0) {
        // A 64 KiB file system as the archive folder, in a mount namespace of the run's own.
        rows.push_back(
            {.name = "a full archive folder",
             .simulation = sim(4, 3, 2000000),
             .prefix = u"mount -t tmpfs -o size=64k tmpfs '%1' &&"_s.arg(path("archive")),
             .status = 1,
             .logged = {
                 runHeader,
                 u"\\(error\\) in CopyArchiveToTargetFolder on frmMain:.*No space left on device.*"_s}});
        // The archive itself cannot be written: said once, and nothing is moved.
        rows.push_back(
            {.name = "a full folder of the program's archives",
             .simulation = sim(4, 3, 2000000),
             .prefix = u"mkdir -p '%1' && mount -t tmpfs -o size=64k tmpfs '%1' &&"_s.arg(
                 path("program/ZIPS")),
             .status = 1,
             .logged = {runHeader, u"\\(error\\) the ZIP archive could not be written:.*No "
                                   "space left on device - no archive is delivered\\."_s},
             .after = [&](const QString &said) {
                 EXPECT_EQ(runLogText().count(u": (error)"_s), 1) << said.toStdString();
                 EXPECT_FALSE(said.contains(u"Moving ZIP file archive"_s));
             }});
    }
    for (const Row &row : rows)
        check(row);
}

TEST_F(RunTable, WhatTheArchiveFolderHoldsBeforeTheRun)
{
    for (const Row &row : preExistingState())
        check(row);
}

TEST_F(RunTable, SecondInstanceEndsAtOnceWithStatusThree)
{
    setUpWell({});
    // The first instance starts the update script, with the version and the tools site's page,
    // once it holds the lock: that says it is up.
    const QString ready = path("first-is-up");
    const QByteArray name = QFile::encodeName(ready);
    writeFile("program/test.bat",
              "echo \"$@\" > '" + name + ".part' && mv '" + name + ".part' '" + name + "'\n");
    QProcess first;
    QProcessEnvironment env = environment();
    env.insert(u"SORVIK_TOOLS_SITE"_s, u"http://127.0.0.1:9"_s);
    first.setProcessEnvironment(env);
    ownedByTest(first);
    first.start(program(), {});
    ASSERT_TRUE(first.waitForStarted(30000));
    for (int i = 0; i < 1500 && !QFile::exists(ready) && !first.waitForFinished(20); ++i)
        continue;
    ASSERT_TRUE(QFile::exists(ready)) << first.readAllStandardError().toStdString();
    EXPECT_EQ(readFile("first-is-up"),
              "1.0.1 http://127.0.0.1:9/Applications/Orvel/Sorvik/OrvelSorvik.html\n");

    // Refused in either mode, and said where it is heard; a scheduled start also sums it up.
    const QString refusal = u"Sorvik: Another instance of "_s +
                            QRegularExpression::escape(QFileInfo(program()).canonicalFilePath()) +
                            u" is running \\(it holds .*"_s;
    check({.name = "from the desktop", .arguments = {}, .status = 3, .told = {refusal}});
    check({.name = "unattended", .status = 3, .told = {refusal}});
    EXPECT_EQ(first.state(), QProcess::Running) << "the running instance is not affected";
    first.kill();
    first.waitForFinished(10000);
    // Its lock died with it.
    check({.name = "after the first", .logged = {runHeader, fileCopied}, .entries = 6});
}

// Stopped while the files go into the archive, or while diagnostic files are still formatted on
// other threads: the run ends, leaving nothing behind, not even a formatter's helper. The first
// folder is listed on two threads (more than one block of names), under ThreadSanitizer too.
using FaultTest = RunTable;
TEST_F(FaultTest, AStopSignalCancelsTheRunAndCleansUp)
{
    for (const auto &[simulation, line] :
         {std::pair{sim(4500, 3, 2000), u"Adding file into zip"_s},
          {sim(0, 8) << u"--diag-size"_s << u"4000000"_s, u"Formatting diagnostic log file"_s}})
        check({.name = "a stop signal",
               .simulation = simulation,
               .status = 1,
               .logged = {runHeader, u"\\(error\\) the archive run was cancelled before it "
                                     "completed - no archive was delivered\\."_s},
               .holdAt = line,
               .act = [](QProcess &process) { process.terminate(); },
               .after =
                   [&](const QString &) {
                       EXPECT_TRUE(QDir(path("program/ZIPS")).isEmpty(QDir::Files | QDir::Hidden));
                       // Only this test's runs start the helper from its program folder.
                       const QString copy =
                           QFileInfo(path(u"program/"_s + helper)).canonicalFilePath();
                       for (const QString &pid :
                            QDir(u"/proc"_s).entryList({u"[0-9]*"_s}, QDir::Dirs)) {
                           EXPECT_NE(QFile::symLinkTarget(u"/proc/"_s + pid + u"/exe"_s), copy);
                       }
                   }});
}

} // namespace
