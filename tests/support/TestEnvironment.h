#pragma once

#include "app/Dialogs.h"
#include "app/Program.h"
#include "app/Run.h"
#include "app/RunHost.h"
#include "common/Failure.h"
#include "platform/Launcher.h"

#include <QAnyStringView>
#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

class QProcess;

// The folder every temporary folder of this test program lies in: removed when the program ends,
// and by the next test program when this one was killed (a ctest time-out) before it could.
QString testRoot();
// Made once, at the start of the test program.
void makeTestRoot();

// A process the test starts that must not outlive it, even when the test program is killed: it
// gets a process group of its own, and the kernel kills it when the test program ends.
void ownedByTest(QProcess &process);

// The live child processes of this one whose name (as /proc shows it, cut to 15 bytes) begins
// with `name`.
std::vector<pid_t> childrenNamed(const QByteArray &name);

// Runs `step` with every file this process writes held to `bytes` (a write past it fails; SIGXFSZ
// is ignored meanwhile), then lifts the limit.
void underFileSizeLimit(quint64 bytes, const std::function<void()> &step);

// What a tool run to its end gave: its status (-1 when it did not end normally), stdout and
// stderr. `input` goes to its stdin; `reading` sees the process while it runs.
struct Ran {
    int status = -1;
    QByteArray output;
    QByteArray errors;
};
Ran runTool(const QString &program, const QStringList &arguments, const QByteArray &input = {},
            const std::function<void(QProcess &)> &reading = {});
// One of the scripts under tests/ (as "support/zipstrict.py"), run with python3.
Ran runScript(const QString &script, const QStringList &arguments, const QByteArray &input = {});

// Stands in for the end of the process in tests: EndProgram and friends throw it instead of
// ending the test program. It is no std::exception, so the program's own traps let it pass.
// For a test whose fault would wait for ever (a FIFO read as a file): past the time the whole
// test program ends, failing, instead of hanging every test after it.
struct HangGuard {
    explicit HangGuard(unsigned seconds = 60) { ::alarm(seconds); }
    ~HangGuard() { ::alarm(0); }
};

struct ProgramEnded {
    int status;
};

// The failure of that kind `step` throws; nothing when it goes through.
template <typename Error = Failure>
std::optional<Error> failureOf(const std::function<void()> &step)
{
    try {
        step();
    } catch (const Error &failure) {
        return failure;
    }
    return std::nullopt;
}

// Answers boxes from a queue (OK, Yes or the first button when it runs dry) and keeps every text.
class ScriptedDialogs : public Dialogs {
public:
    DialogAnswer messageBox(const QString &text, MessageButtons buttons = MessageButtons::OK,
                            const QString &title = QString()) override;
    QString inputBox(const QString &prompt, const QString &title, const QString &preset) override;
    QString browseForFolder(const QString &title, const QString &startFolder) override;
    std::unique_ptr<BusyNotice> showBusy(const QString &text,
                                         const std::function<void()> &cancel) override;

    std::deque<DialogAnswer> answers;
    std::deque<QString> inputs;
    std::vector<QString> texts;
    std::vector<QString> presets;
    // Where each folder browser opened.
    std::vector<QString> startFolders;
    // Cancel of the busy notice shown last, while it is up.
    std::function<void()> cancelBusy;
};

// Records what the program asked the desktop to open.
class RecordingLauncher : public Launcher {
public:
    int open(const QString &target) override
    {
        opened.push_back(target);
        return answer;
    }
    std::vector<QString> opened;
    int answer = LaunchResult::Success;
};

// The computer as a test wants it.
class FakeWorkStationSource : public WorkStationSource {
public:
    bool answersQueries() const override { return true; }
    std::optional<WorkstationFacts> workstation() const override
    {
        if (!workstationAnswers)
            return std::nullopt;
        WorkstationFacts facts;
        facts.computerName = computerName;
        return facts;
    }
    std::optional<WorkstationUserFacts> user() const override
    {
        WorkstationUserFacts facts;
        facts.userName = u"operator"_s;
        return facts;
    }
    QString computerName = u"SRV01"_s;
    bool workstationAnswers = true;
};

// A main window without widgets, as the run sees it and as the window's own logic does.
class TestHost : public RunHost, public WindowHost {
public:
    QString archiveFolderText() const override { return folder; }
    void setArchiveFolderText(const QString &text) override { folder = text; }
    void setWaitPointer(bool on) override { waiting = on; }
    void setRunning(bool on) override { running = on; }
    void setProgress(double v, double m, ProgressUnit u) override
    {
        value = v;
        maximum = m;
        unit = u;
        if (onProgress)
            onProgress();
    }
    void runLogOpened(const QString &path) override
    {
        if (record)
            record->runLog = path;
    }
    void archiveDelivered(const QString &path, qint64 bytes, qint64 entries) override
    {
        if (record) {
            record->entries = entries;
            record->archive = path;
            record->archiveBytes = bytes;
        }
    }
    void showRunLog(const QString &path) override { shownLogs.push_back(path); }

    QString folder;
    bool running = false;
    bool waiting = false;
    double value = 0, maximum = 0;
    ProgressUnit unit = ProgressUnit::Files;
    std::vector<QString> shownLogs;
    // Runs at every progress step: the moment to change the world under a run. The first comes
    // once the folder is listed, before any file of it is read.
    std::function<void()> onProgress;
    // Where what the run tells of itself is recorded, as the window records it.
    RunRecord *record = nullptr;
};

// A fixture whose every test has its own temporary root: HOME, XDG_CONFIG_HOME, XDG_STATE_HOME,
// SORVIK_REGISTRY, SORVIK_CRON_DIR, SORVIK_SYSCONFDIR and TMPDIR point into it, and
// SORVIK_METRICS_DIR is unset, so no test touches the machine's own files. Whatever a test does to
// the environment is undone when it ends.
class TempEnvironment : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    QString path(QAnyStringView relative) const { return m_root.filePath(relative.toString()); }
    QString registryPath() const { return path(u"registry.reg"_s); }
    // Writes the registry file as given.
    void writeRegistry(const QByteArray &content) const;
    // A registry file as the served product leaves it: its components (the built stand-in),
    // its logging folder and the version numbers.
    void writeServedProduct(quint32 versionNumber = 0x00040000, bool components = true) const;
    // A served-product environment made by orvel-sim under root/orvel, with SORVIK_REGISTRY
    // pointing at it; the logging folder is root/orvel/logs.
    void simulate(const QStringList &arguments = {}) const;
    void writeFile(QAnyStringView relative, const QByteArray &content) const;
    QByteArray readFile(QAnyStringView relative) const;

    // A program whose executable lies in `programFolder` (created under the root), reading the
    // time from `clockTime` and the computer from `workstation`. `fileSystem` replaces the real
    // file-system layer.
    std::unique_ptr<Program> makeProgram(const QString &programFolder = u"program"_s,
                                         std::unique_ptr<FileSystem> fileSystem = nullptr);
    // A run as Start makes it, of a program made as makeProgram makes it (kept by the fixture).
    std::unique_ptr<::Run> makeRun(const QString &programFolder = u"program"_s,
                                   std::unique_ptr<FileSystem> fileSystem = nullptr);

    ScriptedDialogs dialogs;
    // The boxes of the programs made from now on: the scripted ones unless a test shows real ones.
    Dialogs *interactiveDialogs = &dialogs;
    TestHost host;
    RecordingLauncher launcher;
    std::shared_ptr<FakeWorkStationSource> workstation = std::make_shared<FakeWorkStationSource>();
    QDateTime clockTime{QDate(2026, 12, 4), QTime(14, 5, 9)};

private:
    QTemporaryDir m_root{testRoot() + u"/XXXXXX"_s};
    std::vector<std::unique_ptr<Program>> m_programsOfRuns;
    // The environment as it was before the test, entry by entry ("NAME=value").
    std::vector<QByteArray> m_savedEnvironment;
};

QString builtFile(const QString &name);

// The lines of a run log (UTF-16LE with its byte-order mark, CR LF after every line); a file that
// is not such a run log gives a failure and no lines.
QStringList runLogLines(const QByteArray &bytes);

// The events of a run log: the lines after its header, without their time stamps.
QStringList runLogEvents(const QByteArray &bytes);

// Stores the archive folder as the program's per-user setting.
void storeArchiveFolder(const QString &folder);

// Readable failure messages for Qt strings.
inline void PrintTo(const QString &text, std::ostream *out)
{
    *out << '"' << text.toStdString() << '"';
}

// One step of a run on its own: a run of a program of root/program whose run log is root/run.TXT.
class RunStepTest : public TempEnvironment {
protected:
    void start(std::unique_ptr<FileSystem> fileSystem = nullptr)
    {
        run = makeRun(u"program"_s, std::move(fileSystem));
        run->runLog().OpenRunLog(path("run.TXT"));
    }
    QStringList logged() const { return runLogEvents(readFile("run.TXT")); }

    std::unique_ptr<::Run> run;
};
