#include "archive/LogCollection.h"

#include "app/Dialogs.h"
#include "app/LoggingFolder.h"
#include "app/Run.h"
#include "app/RunHost.h"
#include "archive/DiagFormatting.h"
#include "archive/FormattingAhead.h"
#include "archive/ZipArchive.h"
#include "archive/obfuscation/RunCleaning.h"
#include "common/ControlText.h"
#include "common/Failure.h"
#include "platform/NativePath.h"
#include "runlog/FileNames.h"
#include "runlog/FolderUtilities.h"

#include <QFileInfo>
#include <QScopeGuard>

#include <climits>
#include <vector>

namespace {

const QString loggingKey = loggingFolderKey();
// Measured on the served product's logs (bench/, main case). The raw data files are two thirds of
// the bytes: level 5 there costs 1.6% in size for 9% less time. The readable copies and all else
// stay at 6, which makes them 6% smaller than the common archivers' default; 7 would save 0.7%
// more for 12% more time.
constexpr int dataLevel = 5;
constexpr int textLevel = 6;
// The readable copy of a raw file up to this size is made in memory and goes into the archive from
// there: 10,000 small copies written as files and read back cost more than all else in a run.
// The copies in memory at once are bounded by how far the formatting runs ahead.
constexpr qint64 copiesInMemoryUpTo = 1 << 20;

// The ends of a run whose logging folder cannot be used: a run-log line, then a box in an
// interactive run and the end of the program.
[[noreturn]] void endForLoggingFolder(Run &run, const QString &line, const QString &message)
{
    run.runLog().WriteLogLine(line);
    endRun(RunEnd::Kind::Ended, message);
}

// How a file goes into a cleaning run's archive: its entry's name and what cleans it; no name
// when it stays out (said in the run log).
ZipArchive::EntryOptions cleaned(RunCleaning &cleaning, RunLog &log, const QString &path,
                                 const File *file, const std::optional<QByteArray> &copy)
{
    using Content = RunCleaning::Content;
    const Content content = copy   ? RunCleaning::contentOf(QByteArrayView(*copy).first(
                                         std::min<qsizetype>(copy->size(), 64 << 10)))
                            : file ? RunCleaning::contentOf(*file)
                                   : RunCleaning::contentOf(path);
    const QString name = QFileInfo(path).fileName();
    if (content == Content::Undecodable) {
        log.WriteLogLine(QStringLiteral("(error) not archived, its text is in an encoding that "
                                        "cannot be cleaned (UTF-16 or UTF-32):") +
                         shownPath(path));
        return {};
    }
    if (content == Content::Binary && !cleaning.listedAsSafe(name)) {
        log.WriteLogLine(QStringLiteral("(warning) not archived, not text, so it cannot be "
                                        "cleaned, and ObfuscateSafe does not list it:") +
                         shownPath(path));
        return {};
    }
    ZipArchive::EntryOptions entry{ZipArchive::entryNameOf(cleaning.entryName(name)), nullptr};
    // A stand-in may be longer than what it stands for: an entry named past what a folder holds
    // could be taken out under no name.
    if (nativePath(entry.name).size() > NAME_MAX) {
        log.WriteLogLine(QStringLiteral("(error) not archived, its name once cleaned would pass "
                                        "the 255 bytes a file name may hold:") +
                         shownPath(path));
        return {};
    }
    if (content == Content::Text)
        entry.transform = cleaning.transformFor(path, entry.name);
    else
        log.WriteLogLine(QStringLiteral("    Not text, archived as it is since ObfuscateSafe "
                                        "lists it:") +
                         shownPath(path));
    return entry;
}

// Where the archive's rules change the name a file is archived under, it is said. Most names
// hold no backslash: a look at the path spares a second parse of it per file.
void nameForTheArchive(ZipArchive::EntryOptions &entry, const QString &path, QStringList &lines)
{
    if (!path.contains(QLatin1Char('\\')) && !entry.name.contains(QLatin1Char('\\')))
        return;
    const QString given = entry.name.isEmpty() ? QFileInfo(path).fileName() : entry.name;
    if (const QString named = ZipArchive::entryNameOf(given); named != given) {
        entry.name = named;
        lines << QStringLiteral("    Named in the zip:") + shownPath(named) +
                     QStringLiteral(" (a ZIP archive's names take no backslash)");
    }
}

} // namespace

void ArchiveFiles(Run &run, RunHost &host, RunCleaning *cleaning)
{
    RunLog &log = run.runLog();
    FileSystem &fs = run.fileSystem();
    const auto report = logFailureIn(log, "ArchiveFiles");
    // Each step is where a run asked to stop comes to its end.
    const auto step = [&](const std::function<void()> &work) {
        stopIfCancelled(run);
        return trap(work, report);
    };
    const QString formattingFolder = run.programFolder() + QStringLiteral("/TempDiags");
    ZipArchive zip(textLevel);
    // Encrypted as it is written; the passphrase goes with the archive.
    zip.setPassphrase(std::move(run.ArchivePassphrase));

    step([&] { log.WriteLogLine(QStringLiteral("    Starting ZIP file archive")); });
    step([&] { run.ZipFilePath = GenerateBackupDataFileName(run.runFiles()); });
    // What a run cut short must not leave: the archive's pieces and the formatted copies.
    run.addRunTemporaries(run.ZipFilePath);
    run.addRunTemporaries(formattingFolder + QLatin1Char('/'));
    // The listing first: the formatting's workers read its files until it is gone, also when a
    // stop or a failure leaves this function early.
    std::optional<Folder> folder;
    std::optional<FormattingAhead> formatting;
    // A stop is heard while the workers keep AddFile waiting: they compress far behind.
    zip.setWaiting([&] { stopIfCancelled(run); });
    zip.setHandingOver([&] { log.WriteHeldLines(); });

    int status = 0;
    step([&] { status = zip.NewZip(run.ZipFilePath); });
    if (status != 1) {
        if (run.SilentMode) {
            log.WriteLogLine(QStringLiteral("(error) creating newzip in ArchiveFiles:") +
                             zip.ErrorText() + QStringLiteral(" - exiting application"));
            endRun(RunEnd::Kind::Ended);
        }
        step([&] {
            log.WriteLogLine(QStringLiteral("(error) creating newzip in ArchiveFiles:") +
                             zip.ErrorText());
        });
        run.tell(QStringLiteral("Error creating newzip in ArchiveFiles:") + zip.ErrorText());
        return;
    }

    step([&] { CreateOrEmptyFolder(fs, formattingFolder); });
    // From here on an archive without entries stands at ZipFilePath.
    step([&] { zip.SaveArchive(); });

    QString loggingFolder;
    step([&] { loggingFolder = ReadLoggingFolder(run.registry()); });
    bool tooLong = false;
    step([&] { tooLong = loggingFolder.isEmpty() && LoggingFolderTooLong(run.registry()); });
    if (tooLong)
        endForLoggingFolder(
            run,
            QStringLiteral("(error) the log file path found in registry is too long (more than "
                           "1,023 bytes): ") +
                loggingKey + QStringLiteral("\\Output Path - exiting application."),
            QStringLiteral("The log file path found in registry at ") + loggingKey +
                QStringLiteral("\\Output Path is too long (more than 1,023 bytes) - exiting "
                               "application."));
    if (loggingFolder.isEmpty())
        endForLoggingFolder(
            run,
            QStringLiteral("(error) empty log file path found in registry: ") + loggingKey +
                QStringLiteral("\\Output Path - exiting application."),
            QStringLiteral(
                "Failed to find Orvel logging folder in registry:empty log file path found "
                "in registry at: ") +
                loggingKey + QStringLiteral("\\Output Path - exiting application."));
    bool folderExists = false;
    step([&] { folderExists = fs.FolderExists(loggingFolder); });
    if (!folderExists)
        endForLoggingFolder(
            run,
            QStringLiteral("(error) log file path found in registry not found on hard drive: ") +
                shownPath(loggingFolder) + QStringLiteral(" - exiting application."),
            QStringLiteral("The log file path found in registry not found on hard drive: ") +
                shownPath(loggingFolder) + QStringLiteral(" - exiting application."));

    double value = 0;
    double maximum = 0;
    step([&] {
        // A big folder takes a while to list: the bar says so, with the count so far.
        const auto listed = [&](qsizetype seen) {
            host.setProgress(double(seen), 0, ProgressUnit::Listed);
        };
        listed(0);
        folder.emplace(fs.GetFolder(loggingFolder, listed));
        maximum = double(folder->Files.Count());
        host.setProgress(value, maximum, ProgressUnit::Files);
    });
    // A link, FIFO or device by the name of a log is never read: the folder is the served
    // product's account's to write, and what such an entry leads to is not its log.
    step([&] {
        if (!folder)
            return;
        for (const QString &skipped : folder->Skipped) {
            const QString name = fs.GetFileName(skipped);
            if (logKindOf(name) != LogKind::Other)
                log.WriteLogLine(QStringLiteral("(warning) not archived, not a regular file:") +
                                 shownPath(skipped));
        }
    });

    // The diagnostic files are formatted from now on, ahead of the loop below, which takes them
    // in file order.
    step([&] {
        if (!folder)
            return;
        std::vector<const File *> diagFiles;
        for (const File &file : folder->Files)
            if (logKindOf(file.Name()) == LogKind::Diag)
                diagFiles.push_back(&file);
        if (!diagFiles.empty())
            formatting.emplace(run, std::move(diagFiles), formattingFolder, copiesInMemoryUpTo,
                               cleaning != nullptr);
    });

    if (folder) {
        for (const File &file : folder->Files) {
            QString toAdd;
            // The raw file itself goes in through the folder the listing opened.
            bool raw = false;
            int level = textLevel;
            std::optional<QByteArray> copy;
            // A file's lines reach the run log together, with one write (those of a file added
            // with its batch's); a step that ends early writes those it has.
            QStringList lines;
            const auto writeLines = [&] {
                if (!lines.isEmpty())
                    log.WriteLogLines(std::exchange(lines, {}));
            };
            const auto linesWritten = qScopeGuard(writeLines);
            step([&] {
                const QString &name = file.Name();
                if (name.size() < 5)
                    return;
                if (logKindOf(name) == LogKind::Data) {
                    toAdd = file.Path();
                    raw = true;
                    level = dataLevel;
                } else if (logKindOf(name) == LogKind::Diag && formatting) {
                    // While it waits for the formatting, the workers take the files added.
                    DiagFormatOutcome outcome = formatting->takeNext([&] {
                        zip.handOver();
                        stopIfCancelled(run);
                    });
                    lines = std::move(outcome.lines);
                    if (outcome.formatted) {
                        toAdd = FormattingAhead::copyPath(formattingFolder, name);
                        copy = std::move(outcome.copy);
                    } else {
                        // Raw, its records' messages are hexadecimal digits that no cleaning rule
                        // can see into.
                        lines << QStringLiteral("(error) unable to format diagnostic file:") +
                                     shownPath(file.Path()) +
                                     (cleaning ? QStringLiteral(" - not archived: a raw diagnostic "
                                                                "file cannot be cleaned.")
                                               : QStringLiteral(" - adding raw file into zip file "
                                                                "instead of formatted file."));
                        if (!cleaning) {
                            toAdd = file.Path();
                            raw = true;
                        }
                    }
                }
            });
            // The file's lines so far go out before any the cleaning writes, and alone when
            // nothing is added.
            if (toAdd.isEmpty() || cleaning)
                writeLines();
            // A run that cleans takes text only, cleaned, and what is not text only when the
            // administrator listed it; anything it cannot tell stays out.
            ZipArchive::EntryOptions entry;
            if (!toAdd.isEmpty() && cleaning &&
                !step([&] { entry = cleaned(*cleaning, log, toAdd, raw ? &file : nullptr, copy); }))
                toAdd.clear();
            if (!toAdd.isEmpty() && cleaning && entry.name.isEmpty())
                toAdd.clear();
            if (!toAdd.isEmpty()) {
                step([&] {
                    lines << QStringLiteral("    Adding file into zip:") + shownPath(toAdd);
                    nameForTheArchive(entry, toAdd, lines);
                    // No worker reads the file before its batch is handed over, and the lines
                    // held go out then: one write for the lines of many files.
                    log.HoldLogLines(std::exchange(lines, {}));
                    zip.setCompressionLevel(level);
                    if ((copy  ? zip.AddData(toAdd, *std::move(copy), entry)
                         : raw ? zip.AddFile(file, 0, entry)
                               : zip.AddFile(toAdd, 0, entry)) != 1)
                        log.WriteLogLine(
                            QStringLiteral("(error) Failure appending file to zip.  File=") +
                            shownPath(toAdd) + QStringLiteral(", error=") + zip.ErrorText());
                });
            }
            step([&] {
                if (maximum > value) {
                    value += 1;
                    host.setProgress(value, maximum, ProgressUnit::Files);
                }
            });
        }
    }

    // The files are counted: the bar now shows the bytes compressed of all there are.
    const auto showCompression = [&] {
        const ZipArchive::Progress progress = zip.progress();
        host.setProgress(double(progress.done), double(progress.total), ProgressUnit::Bytes);
    };
    zip.setWaiting([&] { step(showCompression); });
    step([&] {
        log.WriteLogLine(
            QStringLiteral("    Compressing files into zip - this may take a while..."));
        showCompression();
    });
    bool saved = false;
    step([&] {
        zip.SaveArchive();
        showCompression();
        saved = zip.written();
        run.ArchiveEntries = qint64(zip.entries());
        // A file that vanished or could not be read since it was added costs its entry only.
        // Entries given up before the archive itself failed are not the files' fault: the one
        // line below says why there is no archive.
        if (saved)
            for (const ZipArchive::LostFile &lost : zip.lostFiles())
                log.WriteLogLine(QStringLiteral("(error) Failure appending file to zip.  File=") +
                                 shownPath(lost.path) + QStringLiteral(", error=") + lost.reason);
        if (!saved) {
            log.WriteLogLine(QStringLiteral("(error) the ZIP archive could not be written:") +
                             zip.ErrorText() + QStringLiteral(" - no archive is delivered."));
            // The archive without entries that the run began with must not pass for its result.
            fs.DeleteFile(run.ZipFilePath, true);
        }
    });
    // The stand-ins given are kept before the archive goes anywhere: without them it could
    // never be revealed.
    if (cleaning && saved) {
        step([&] { cleaning->report(log); });
        trap([&] { cleaning->keep(); },
             [&](const Failure &failure) {
                 log.WriteLogLine(QStringLiteral("(error) the stand-ins of this run could not be "
                                                 "kept: ") +
                                  failure.description() +
                                  QStringLiteral(" - no archive is delivered."));
                 saved = false;
                 trap([&] { fs.DeleteFile(run.ZipFilePath, true); }, report);
             });
    }
    run.ArchiveMade = saved;
    step([&] {
        log.WriteLogLine(
            QStringLiteral("    Emptying the temporary formatted diagnostic file location"));
        CreateOrEmptyFolder(fs, formattingFolder);
    });
    if (saved)
        step([&] { log.WriteLogLine(QStringLiteral("    ZIP archive creation completed.")); });
}
