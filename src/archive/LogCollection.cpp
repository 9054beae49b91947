#include "archive/LogCollection.h"

#include "app/Dialogs.h"
#include "app/EndProgram.h"
#include "app/Program.h"
#include "app/RunHost.h"
#include "archive/DiagFormatting.h"
#include "archive/ZipArchive.h"
#include "common/Failure.h"
#include "platform/ReadRegistryValue.h"
#include "platform/Registry.h"
#include "runlog/FileNames.h"
#include "runlog/FolderUtilities.h"

#include <QScopeGuard>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

const QString loggingKey = QStringLiteral("SOFTWARE\\Quenvo\\QuenvoLogMgr\\1.0");
// Measured on the served product's logs, raw and formatted: level 6 makes archives 6% smaller
// than the common archivers' default; 7 saves 0.7% more for 12% more time, 5 costs 1.6% in size
// for 9% less time.
constexpr int compressionLevel = 6;
// The readable copy of a raw file up to this size is made in memory and goes into the archive from
// there: 10,000 small copies written as files and read back cost more than all else in a run.
// The copies in memory at once are bounded by how far the formatting runs ahead.
constexpr qint64 copiesInMemoryUpTo = 1 << 20;

bool startsWith(const QString &name, const char *prefix)
{
    return name.left(5).compare(QLatin1String(prefix), Qt::CaseInsensitive) == 0;
}

// The ends of a run whose logging folder cannot be used: a run-log line, a box in an
// interactive run, and the end of the program.
[[noreturn]] void endForLoggingFolder(Program &program, RunHost &host, const QString &line,
                                      const QString &message)
{
    program.runLog().WriteLogLine(line);
    if (!program.SilentMode)
        program.dialogs().messageBox(message);
    EndProgram(program, host);
}

// One diagnostic file to format: its raw file and its readable copy.
struct FormattingJob {
    QString raw;
    QString formatted;
};

// Formats the run's diagnostic files on worker threads, each with a formatter of its own, a few
// files ahead of the main thread, which takes the outcomes strictly in file order: the run log and
// the pane read exactly as if each file were formatted when its turn came.
class FormattingAhead {
public:
    FormattingAhead(Program &program, std::vector<FormattingJob> jobs)
        : m_fs(program.fileSystem())
        , m_limit(program.FormatTimeLimit)
        , m_jobs(std::move(jobs))
        , m_outcomes(m_jobs.size())
        , m_done(m_jobs.size(), false)
    {
        const size_t workers =
            std::min<size_t>(std::max(std::thread::hardware_concurrency(), 1U), m_jobs.size());
        // Far enough ahead that no worker waits while the main thread adds a file, near enough
        // that the copies do not pile up far ahead of the pane.
        m_lookAhead = workers + 2;
        // Made here, on the main thread, where the registry and the loader are read: each file
        // that cannot have one says why, as it would have with the program's own.
        m_formatters.resize(workers);
        m_failures.resize(workers);
        for (size_t i = 0; i < workers; ++i)
            trap([&] { m_formatters[i] = program.createDiagLineFormatter(); },
                 [&](const Failure &f) { m_failures[i].emplace(f); });
        m_threads.reserve(workers);
        for (size_t i = 0; i < workers; ++i)
            m_threads.emplace_back([this, i] { work(i); });
    }
    ~FormattingAhead() { stop(); }
    FormattingAhead(const FormattingAhead &) = delete;
    FormattingAhead &operator=(const FormattingAhead &) = delete;

    // The outcome of the next file, waiting for it when it is not formatted yet.
    DiagFormatOutcome takeNext()
    {
        std::unique_lock lock(m_mutex);
        const size_t index = m_taken++;
        m_wake.notify_all();
        m_finished.wait(lock,
                        [&] { return m_stopping || index >= m_jobs.size() || m_done[index]; });
        if (index >= m_jobs.size() || !m_done[index])
            return {};
        return std::move(m_outcomes[index]);
    }

    // Ends the work at the next line of each file in progress and waits for the workers; their
    // formatters and helper processes end with them.
    void stop()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_cancel.store(true);
        for (const auto &formatter : m_formatters)
            if (formatter)
                formatter->interrupt();
        m_wake.notify_all();
        m_finished.notify_all();
        for (std::thread &thread : m_threads)
            if (thread.joinable())
                thread.join();
        m_formatters.clear();
    }

private:
    void work(size_t worker)
    {
        const DiagFormatterSource formatter = [&]() -> DiagLineFormatter & {
            if (m_failures[worker])
                throw *m_failures[worker];
            return *m_formatters[worker];
        };
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [&] {
                return m_stopping || m_next >= m_jobs.size() || m_next < m_taken + m_lookAhead;
            });
            if (m_stopping || m_next >= m_jobs.size())
                return;
            const size_t index = m_next++;
            lock.unlock();
            DiagFormatOutcome outcome;
            try {
                outcome = formatDiagFile(formatter, m_fs, m_limit, m_jobs[index].raw,
                                         m_jobs[index].formatted, &m_cancel, copiesInMemoryUpTo);
            } catch (...) {
                // Nothing may leave a worker; the file goes in raw, its failure untold.
                outcome = DiagFormatOutcome{};
            }
            lock.lock();
            m_outcomes[index] = std::move(outcome);
            m_done[index] = true;
            m_finished.notify_all();
        }
    }

    FileSystem &m_fs;
    const DiagFormatTimeLimit m_limit;
    const std::vector<FormattingJob> m_jobs;
    std::vector<std::unique_ptr<DiagLineFormatter>> m_formatters;
    std::vector<std::optional<Failure>> m_failures;
    std::vector<std::thread> m_threads;
    size_t m_lookAhead = 1;

    std::mutex m_mutex;
    std::condition_variable m_wake;     // a worker may take the next file, or stop
    std::condition_variable m_finished; // a file is done, or the work stops
    std::vector<DiagFormatOutcome> m_outcomes;
    std::vector<bool> m_done;
    size_t m_next = 0;  // the next file a worker takes
    size_t m_taken = 0; // the files the main thread took or waits for
    bool m_stopping = false;
    std::atomic<bool> m_cancel = false;
};

} // namespace

void ArchiveFiles(Program &program, RunHost &host)
{
    RunLog &log = program.runLog();
    FileSystem &fs = program.fileSystem();
    const auto report = logFailureIn(log, "ArchiveFiles");
    const auto step = [&](const std::function<void()> &work) { return trap(work, report); };
    const QString formattingFolder = program.programFolder() + QStringLiteral("/TempDiags");
    ZipArchive zip(compressionLevel);

    step([&] { log.WriteLogLine(QStringLiteral("    Starting ZIP file archive")); });
    step([&] { program.ZipFilePath = GenerateBackupDataFileName(program.runFiles()); });
    // What a run cut short must not leave: the archive's pieces and the formatted copies.
    program.addRunTemporaries(program.ZipFilePath);
    program.addRunTemporaries(formattingFolder + QLatin1Char('/'));
    std::optional<FormattingAhead> formatting;
    program.setRunStop([&] {
        if (formatting)
            formatting->stop();
        zip.abandon();
    });
    const auto noMoreZip = qScopeGuard([&] { program.setRunStop({}); });
    // The window answers while the workers keep AddFile waiting: they compress far behind.
    zip.setWaiting([&] { step([&] { host.pumpEvents(); }); });

    int status = 0;
    step([&] { status = zip.NewZip(program.ZipFilePath); });
    if (status != 1) {
        if (program.SilentMode) {
            log.WriteLogLine(QStringLiteral("(error) creating newzip in ArchiveFiles:") +
                             zip.ErrorText() + QStringLiteral(" - exiting application"));
            EndProgram(program, host);
        }
        program.dialogs().messageBox(QStringLiteral("Error creating newzip in ArchiveFiles:") +
                                     zip.ErrorText());
        return;
    }

    step([&] { CreateOrEmptyFolder(fs, formattingFolder); });
    // From here on an archive without entries stands at ZipFilePath.
    step([&] { zip.SaveArchive(); });

    QString loggingFolder;
    step([&] {
        loggingFolder =
            ReadRegistryValue(program.registry(), RegistryRoot::LocalMachine, loggingKey,
                              QStringLiteral("Output Path"), RegistryKind::String, QString())
                .toString();
    });
    if (loggingFolder.isEmpty())
        endForLoggingFolder(
            program, host,
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
            program, host,
            QStringLiteral("(error) log file path found in registry not found on hard drive: ") +
                loggingFolder + QStringLiteral(" - exiting application."),
            QStringLiteral("The log file path found in registry not found on hard drive: ") +
                loggingFolder + QStringLiteral(" - exiting application."));

    std::optional<Folder> folder;
    double value = 0;
    double maximum = 0;
    step([&] {
        folder.emplace(fs.GetFolder(loggingFolder));
        maximum = double(folder->Files.Count());
        host.setProgress(value, maximum);
    });
    // A link, FIFO or device by the name of a log is never read: the folder is the served
    // product's account's to write, and what such an entry leads to is not its log.
    step([&] {
        if (!folder)
            return;
        for (const QString &skipped : folder->Skipped) {
            const QString name = fs.GetFileName(skipped);
            if (startsWith(name, "data_") || startsWith(name, "diag_"))
                log.WriteLogLine(QStringLiteral("(warning) not archived, not a regular file:") +
                                 skipped);
        }
    });

    // The readable copy of a diagnostic file.
    const auto copyOf = [&](const QString &name) {
        return formattingFolder + QLatin1Char('/') + name + QStringLiteral(".fmtd.txt");
    };
    // The diagnostic files are formatted from now on, ahead of the loop below, which takes them
    // in file order.
    step([&] {
        if (!folder)
            return;
        std::vector<FormattingJob> jobs;
        for (const File &file : folder->Files) {
            const QString &name = file.Name();
            if (name.size() >= 5 && startsWith(name, "diag_"))
                jobs.push_back({file.Path(), copyOf(name)});
        }
        if (!jobs.empty())
            formatting.emplace(program, std::move(jobs));
    });

    if (folder) {
        for (const File &file : folder->Files) {
            QString toAdd;
            std::optional<QByteArray> copy;
            step([&] {
                const QString &name = file.Name();
                if (name.size() < 5)
                    return;
                if (startsWith(name, "data_")) {
                    toAdd = file.Path();
                } else if (startsWith(name, "diag_") && formatting) {
                    const DiagFormatOutcome outcome = formatting->takeNext();
                    for (const QString &line : outcome.lines)
                        log.WriteLogLine(line);
                    if (outcome.formatted) {
                        toAdd = copyOf(name);
                        copy = outcome.copy;
                    } else {
                        log.WriteLogLine(
                            QStringLiteral("(error) unable to format diagnostic file:") +
                            file.Path() +
                            QStringLiteral(" - adding raw file into zip file instead of "
                                           "formatted file."));
                        toAdd = file.Path();
                    }
                }
            });
            if (!toAdd.isEmpty()) {
                step([&] {
                    log.WriteLogLine(QStringLiteral("    Adding file into zip:") + toAdd);
                    if ((copy ? zip.AddData(toAdd, *std::move(copy)) : zip.AddFile(toAdd, 0)) != 1)
                        log.WriteLogLine(
                            QStringLiteral("(error) Failure appending file to zip.  File=") +
                            toAdd + QStringLiteral(", error=") + zip.ErrorText());
                });
            }
            step([&] {
                if (maximum > value) {
                    value += 1;
                    host.setProgress(value, maximum);
                }
                host.pumpEvents();
            });
        }
    }

    // The files are counted: the bar now shows the bytes compressed of all there are.
    const auto showCompression = [&] {
        const ZipArchive::Progress progress = zip.progress();
        host.setProgress(double(progress.done), double(progress.total));
        host.pumpEvents();
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
        // A file that vanished or could not be read since it was added costs its entry only.
        for (const ZipArchive::LostFile &lost : zip.lostFiles())
            log.WriteLogLine(QStringLiteral("(error) Failure appending file to zip.  File=") +
                             lost.path + QStringLiteral(", error=") + lost.reason);
        if (!saved) {
            log.WriteLogLine(QStringLiteral("(error) the ZIP archive could not be written:") +
                             zip.ErrorText() + QStringLiteral(" - no archive is delivered."));
            // The archive without entries that the run began with must not pass for its result.
            fs.DeleteFile(program.ZipFilePath, true);
        }
    });
    step([&] {
        log.WriteLogLine(
            QStringLiteral("    Emptying the temporary formatted diagnostic file location"));
        CreateOrEmptyFolder(fs, formattingFolder);
    });
    if (saved)
        step([&] { log.WriteLogLine(QStringLiteral("    ZIP archive creation completed.")); });
}
