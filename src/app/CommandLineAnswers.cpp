#include "app/CommandLineAnswers.h"

#include "common/Failure.h"
#include "common/Version.h"
#include "platform/FileSystem.h"
#include "runlog/RunLogReading.h"

#include <QFileInfo>

namespace {

constexpr int usageMistake = 2;
constexpr int noSuchLog = 1;

bool write(std::FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    return std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream) == size_t(bytes.size());
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
               "Settings in Sorvik.ini, group [Archive] (File > Options... sets them):\n"
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
            write(err, QStringLiteral("%1: --last-log takes a number (1 is the newest run log) and "
                                      "--problems, nothing else; not \"%2\"\n")
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
        write(err, !failure.isEmpty() ? QStringLiteral("%1: %2\n").arg(command, failure)
                   : found.isEmpty()
                       ? QStringLiteral("%1: there is no run log in %2\n").arg(command, logs)
                       : QStringLiteral("%1: there are only %2 run logs in %3\n")
                             .arg(command)
                             .arg(found.size())
                             .arg(logs));
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
            write(err, QStringLiteral("%1: %2\n").arg(command, failure));
        });
    return failure.isEmpty() ? finished(out, written) : noSuchLog;
}

} // namespace

std::optional<int> answerInformation(const QStringList &arguments, const QString &commandName,
                                     const QString &executablePath, std::FILE *out, std::FILE *err)
{
    if (arguments.isEmpty())
        return std::nullopt;
    const QString &word = arguments.first();
    if (word == QLatin1String("--last-log"))
        return lastLog(arguments.mid(1), commandName, executablePath, out, err);
    if (word == QLatin1String("--check") && arguments.size() > 1) {
        write(err, QStringLiteral("%1: --check takes nothing else\n").arg(commandName));
        return usageMistake;
    }
    if (arguments.size() != 1)
        return std::nullopt;
    if (word == QLatin1String("--version"))
        return finished(out, write(out, QStringLiteral("Sorvik %1\n").arg(versionText())));
    if (word == QLatin1String("--help") || word == QLatin1String("-h") ||
        word == QLatin1String("/?"))
        return finished(
            out, write(out, helpText(commandName, QFileInfo(executablePath).absolutePath())));
    return std::nullopt;
}

bool asksForCheck(const QStringList &arguments)
{
    return arguments == QStringList{QStringLiteral("--check")};
}

bool asksForReveal(const QStringList &arguments)
{
    return arguments.value(0) == QLatin1String("--reveal");
}
