#include "app/CommandLineAnswers.h"

#include "app/StartUp.h"
#include "common/ControlText.h"
#include "common/Failure.h"
#include "common/Version.h"
#include "platform/FileSystem.h"
#include "runlog/RunLogReading.h"

#include <QFileInfo>

#include <algorithm>

namespace {

constexpr int usageMistake = 2;
constexpr int noSuchLog = 1;

bool write(std::FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    return std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream) == size_t(bytes.size());
}

// One line on stderr: a path or argument in it cannot forge another.
void complain(std::FILE *err, const QString &line)
{
    write(err, escapeControls(line) + QLatin1Char('\n'));
}

int finished(std::FILE *out, bool written)
{
    return written && std::fflush(out) == 0 ? 0 : 1;
}

QString helpText(const QString &command, const QString &programFolder)
{
    return QStringLiteral(
               "Usage: %1 [/Silent]\n"
               "       %1 --check\n"
               "       %1 --archive-folder PATH\n"
               "       %1 --last-log [N] [--problems]\n"
               "       %1 --reveal [TEXT... | --file PATH]\n"
               "       %1 --help | --version\n"
               "\n"
               "Collects the log files of the Orvel server, turns its raw diagnostic logs into "
               "readable text,\n"
               "packs them into one ZIP archive named after the computer and the time, and copies "
               "it into\n"
               "the archive folder chosen in the window (never replacing a file).\n"
               "\n"
               "  (no argument)    open the window (needs a display)\n"
               "  /Silent          one unattended archive run into the stored archive folder, no "
               "window\n"
               "                   (anywhere on the command line, any letter case; for scheduled "
               "tasks)\n"
               "  --check          check the set-up, archiving nothing: one line per check, OK or "
               "FAIL\n"
               "                   (the last run's outcome: OK or WARN, which does not count)\n"
               "  --archive-folder PATH\n"
               "                   store PATH as the archive folder of this account, once it "
               "exists and\n"
               "                   takes a new file (a share: once it is reached)\n"
               "  --last-log [N]   the newest run log (the N-th newest) as UTF-8 text\n"
               "    --problems     only its \"(error)\" and \"(warning)\" lines\n"
               "  --reveal         the text given (or the file, or standard input) with the values "
               "back in place\n"
               "                   of the stand-ins that cleaned archives (Obfuscate) gave them\n"
               "  --help, -h, /?   this text\n"
               "  --version        the program's version\n"
               "\n"
               "Exit status: 0 every file archived and the archive delivered (--check: an "
               "unattended run\n"
               "would start and find what it needs); 1 the run wrote an (error) line or was "
               "refused;\n"
               "2 Orvel is not running or older than 3.0, no display for the window, or --check "
               "found a\n"
               "problem; 3 another instance runs.\n"
               "\n"
               "Environment:\n"
               "  SORVIK_REGISTRY     Orvel's registry file (default /etc/sorvik/registry.reg)\n"
               "  XDG_CONFIG_HOME     holds Sorvik/Sorvik.ini, the stored archive folder (default "
               "~/.config)\n"
               "  XDG_STATE_HOME      holds sorvik/last-run.json, the last run's outcome (default "
               "~/.local/state)\n"
               "  SORVIK_METRICS_DIR  a folder for sorvik.prom, the outcome for node_exporter "
               "(none by default)\n"
               "  SORVIK_CRON_DIR     where scheduled tasks are kept (default /etc/cron.d)\n"
               "  SORVIK_TOOLS_SITE   the tools web site of the update check\n"
               "  SORVIK_SMB_PORT     the port of an archive folder on a share (default 445)\n"
               "  SORVIK_SMB_TIMEOUT  seconds a share may stay silent before the run gives up "
               "(default 30)\n"
               "  (every variable: man sorvik)\n"
               "\n"
               "Settings in Sorvik.ini, each over the computer's /etc/sorvik/sorvik.ini; group "
               "[Archive]\n"
               "(File > Options... sets them):\n"
               "  PassphraseFile=PATH  encrypt the archives (AES-256) with the first line of this "
               "file, which\n"
               "                       must belong to the running account, mode 0600 or 0400; a "
               "file that\n"
               "                       cannot be used stops the run (default: no encryption)\n"
               "  KeepDays=N           after a delivered run, remove this computer's archives from "
               "the\n"
               "                       archive folder once dated more than N days ago (0 = never, "
               "the default)\n"
               "  KeepCount=N          keep at most N of this computer's archives there (0 = no "
               "limit, the default)\n"
               "  Obfuscate=true       clean every entry and its name: addresses, host and user "
               "names,\n"
               "                       telephone numbers, mailbox and subscriber ids get "
               "stand-ins (default false)\n"
               "  ObfuscateWords=PATH  the site's own words (one a line, \"re:PATTERN\" for a "
               "pattern), cleaned too\n"
               "  ObfuscateSafe=GLOBS  files that are not text archived as they are (\"data_*.gz "
               "data_*.bin\")\n"
               "  [Update] Check=false  a window that opens does not look for a newer version\n"
               "An archive folder may be a share: \\\\server\\share\\folder\\, "
               "//server/share/folder/ or\n"
               "smb://server[:port]/share/folder/, logged on with "
               "$XDG_CONFIG_HOME/Sorvik/smb-credentials.\n"
               "\n"
               "Beside the program, in %2:\n"
               "  logs/       one run log per run (UTF-16), kept 30 days\n"
               "  ZIPS/       the last run's archive (its copy goes to the archive folder)\n"
               "  TempDiags/  readable copies while a run lasts\n")
        .arg(command, programFolder);
}

int lastLog(const QStringList &options, const QString &command, const QString &executablePath,
            std::FILE *out, std::FILE *err)
{
    bool problems = false;
    qsizetype position = 0;
    for (const QString &option : options) {
        bool number = false;
        const qsizetype n = option.toLongLong(&number);
        if (option == QLatin1String("--problems") && !problems) {
            problems = true;
        } else if (number && n > 0 && position == 0 && option.at(0).isDigit()) {
            position = n;
        } else {
            complain(err, QStringLiteral("%1: --last-log takes a number (1 is the newest run log) "
                                         "and --problems, nothing else; not \"%2\"")
                              .arg(command, option));
            return usageMistake;
        }
    }
    position = std::max<qsizetype>(position, 1);

    FileSystem fs;
    const QFileInfo executable(executablePath);
    const QString logs = executable.absolutePath() + QStringLiteral("/logs");
    QStringList found;
    QString failure;
    trap([&] { found = runLogsNewestFirst(fs, logs, executable.completeBaseName()); },
         [&](const Failure &f) { failure = f.description(); });
    if (!failure.isEmpty() || found.size() < position) {
        complain(err, !failure.isEmpty() ? QStringLiteral("%1: %2").arg(command, failure)
                      : found.isEmpty()
                          ? QStringLiteral("%1: there is no run log in %2").arg(command, logs)
                          : QStringLiteral("%1: there are only %2 run logs in %3")
                                .arg(command, QString::number(found.size()), logs));
        return noSuchLog;
    }
    bool written = true;
    const auto print = [&](const QString &line) {
        written = write(out, line + QLatin1Char('\n'));
        return written;
    };
    const QString path = found.at(position - 1);
    trap(
        [&] {
            if (problems)
                readRunLogEvents(
                    path, [&](const QString &line) { return !isProblemLine(line) || print(line); });
            else
                readRunLog(path, print);
        },
        [&](const Failure &f) {
            failure = f.description();
            complain(err, QStringLiteral("%1: %2").arg(command, failure));
        });
    return failure.isEmpty() ? finished(out, written) : noSuchLog;
}

} // namespace

namespace {
// The options of ours, each a command line of its own ("--last-log" with what follows it).
bool isOurs(const QString &word)
{
    for (const char *ours : {"--check", "--help", "-h", "/?", "--version", "--last-log",
                             "--archive-folder", "--reveal"})
        if (word == QLatin1String(ours))
            return true;
    return false;
}

bool isOption(const QString &word)
{
    return word.startsWith(QLatin1Char('-')) || isOurs(word);
}

int usage(std::FILE *err, const QString &text)
{
    complain(err, text);
    return usageMistake;
}
} // namespace

std::optional<QString> commandLineMistake(const QStringList &arguments)
{
    // A mistyped option must not start something else: a window, or a run that ignores it.
    // What follows --last-log is its own to judge; all that follows --reveal is the reveal's.
    if (!arguments.isEmpty() && arguments.first() == QLatin1String("--reveal"))
        return std::nullopt;
    const bool lastLogAsked =
        !arguments.isEmpty() && arguments.first() == QLatin1String("--last-log");
    for (const QString &word : arguments)
        if (isOption(word) && !isOurs(word) && !lastLogAsked)
            return QStringLiteral("unknown option \"%1\"%2; --help lists what the program takes")
                .arg(word, QString(word)
                                       .remove(QLatin1Char('-'))
                                       .compare(QLatin1String("silent"), Qt::CaseInsensitive) == 0
                               ? QStringLiteral(" (an unattended run is /Silent)")
                               : QString());
    const auto option = std::find_if(arguments.begin(), arguments.end(), isOption);
    if (option == arguments.end())
        return std::nullopt;
    if (option == arguments.begin() && *option == QLatin1String("--archive-folder") &&
        (arguments.size() != 2 || isOption(arguments.at(1))))
        return QStringLiteral("--archive-folder takes one folder, the archive folder to store "
                              "(such as /srv/archive/)");
    // Each option of ours answers alone: with /Silent beside it, which of the two was meant?
    const auto silent = std::find_if(arguments.begin(), arguments.end(), [](const QString &word) {
        return !isOption(word) && asksForSilentRun(word);
    });
    if (silent != arguments.end())
        return QStringLiteral("%1 cannot be combined with %2: /Silent starts an unattended archive "
                              "run, %1 does not")
            .arg(*option, *silent);
    const bool takesMore =
        *option == QLatin1String("--last-log") || *option == QLatin1String("--archive-folder");
    if (arguments.size() > 1 && !(takesMore && option == arguments.begin()))
        return QStringLiteral("%1 takes nothing else").arg(*option);
    return std::nullopt;
}

std::optional<int> answerInformation(const QStringList &arguments, const QString &commandName,
                                     const QString &executablePath, std::FILE *out, std::FILE *err)
{
    if (const auto mistake = commandLineMistake(arguments))
        return usage(err, commandName + QStringLiteral(": ") + *mistake);
    if (arguments.isEmpty() || !isOption(arguments.first()))
        return std::nullopt;
    const QString &option = arguments.first();
    if (option == QLatin1String("--last-log"))
        return lastLog(arguments.mid(1), commandName, executablePath, out, err);
    if (option == QLatin1String("--version"))
        return finished(out, write(out, QStringLiteral("Sorvik %1\n").arg(versionText())));
    if (option == QLatin1String("--check") || option == QLatin1String("--archive-folder") ||
        option == QLatin1String("--reveal"))
        return std::nullopt;
    return finished(out,
                    write(out, helpText(commandName, QFileInfo(executablePath).absolutePath())));
}

bool asksForCheck(const QStringList &arguments)
{
    return arguments == QStringList{QStringLiteral("--check")};
}

bool asksForReveal(const QStringList &arguments)
{
    return arguments.value(0) == QLatin1String("--reveal");
}

std::optional<QString> archiveFolderToStore(const QStringList &arguments)
{
    if (arguments.size() == 2 && arguments.first() == QLatin1String("--archive-folder"))
        return arguments.at(1);
    return std::nullopt;
}
