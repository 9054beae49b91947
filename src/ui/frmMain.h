#pragma once

#include "app/Run.h"
#include "app/RunHost.h"

#include <QMainWindow>
#include <QTimer>

#include <memory>
#include <optional>

class Program;
class RichLogView;
class RunThread;
class frmAbout;
class TaskPropertySheet;
class QAction;
class QGroupBox;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QTextEdit;

// The main window: the archive folder at the top, progress and the live run log in the middle,
// Start and Exit at the bottom. An archive run runs on a thread of its own, which the window
// observes: what the run tells (RunHost) and its end come as queued calls. Every command stays
// usable meanwhile.
class frmMain : public QMainWindow, public RunHost, public WindowHost {
    Q_OBJECT
public:
    explicit frmMain(Program &program, QWidget *parent = nullptr);
    ~frmMain() override;

    // The load handler: the start-up sequence. Returns only when the window is to be shown.
    void Form_Load(const QStringList &arguments);

    QString archiveFolderText() const override;
    void setArchiveFolderText(const QString &text) override;
    void setWaitPointer(bool on) override;
    void setRunning(bool running) override;
    void setProgress(double value, double maximum, ProgressUnit unit) override;
    void runLogOpened(const QString &path) override;
    void archiveDelivered(const QString &path, qint64 bytes, qint64 entries) override;
    void showRunLog(const QString &path) override;

    // Whether an archive run is in progress (Start disabled, or a run checking its folder): Exit
    // asks first, and a stop cuts it.
    bool isRunning() const;
    // Lets events through until the archive run started last has handed over its end, and passes
    // on what escaped its answer: how an unattended start waits for its run, and how a test does.
    void waitForRun();
    // Closing, Exit, a stop signal: the end of the program, stopping a run under way.
    [[noreturn]] void endOnRequest();

    QGroupBox *frameWriteDataTo;
    QLineEdit *txtOutputPath;
    QPushButton *cmdBrowseForFolder;
    QPushButton *cmdEnterUNC;
    QGroupBox *frmProgress;
    QProgressBar *ProgressBar;
    QTextEdit *txtLogOutput;
    QPushButton *cmdStart;
    QPushButton *cmdExit;

    QMenu *mnuFile;
    QAction *mnuScheduleArchive;
    QAction *seperator2;
    QAction *mnuExit;
    QMenu *menuHelp;
    QAction *Help;
    QAction *seperator;
    QAction *About;
    QAction *mnuCheckForUpdatedVersion;

    // Made on first use and kept for the life of the process.
    frmAbout *aboutWindow();

public slots:
    void cmdStart_Click();
    void cmdExit_Click();
    void cmdBrowseForFolder_Click();
    void cmdEnterUNC_Click();
    void Help_Click(int index);
    void About_Click(int index);
    void mnuCheckForUpdatedVersion_Click();
    void mnuScheduleArchive_Click();
    void mnuExit_Click();

protected:
    void showEvent(QShowEvent *event) override;
    // The unload handler: closing the window always ends the program.
    void closeEvent(QCloseEvent *event) override;

private:
    void buildControls();
    void buildMenus();
    void showPointer();
    // The run's end, handed over on this thread.
    void runEnded(const RunEnd &end);
    // Answers the run's end once no box or window of the program is open: the question ends the
    // program, which would throw away what is being edited there.
    void answerWhenFree();
    Program &m_program;
    std::unique_ptr<RichLogView> m_logView;
    // txtOutputPath's text, which the run reads from its thread.
    FolderText m_folder;
    std::unique_ptr<RunThread> m_run;
    frmAbout *m_about = nullptr;
    std::unique_ptr<TaskPropertySheet> m_propertySheet;
    std::optional<RunEnd> m_unanswered;
    QTimer m_lookForFree;
    bool m_ending = false;
    bool m_paneShown = false;
    bool m_waitPointer = false;
};
