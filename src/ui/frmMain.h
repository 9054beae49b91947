#pragma once

#include "app/RunHost.h"

#include <QMainWindow>

#include <memory>
#include <mutex>

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
// observes; every command stays usable meanwhile.
class frmMain : public QMainWindow, public RunHost {
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
    bool isRunning() const override;
    void setProgress(double value, double maximum, ProgressUnit unit) override;
    void showRunLog(const QString &path) override;
    bool waitForRunEnd(std::chrono::milliseconds within) override;

    // Lets events through until the archive run started last has come to its end, and passes on
    // what escaped it: how an unattended start waits for its run, and how a test does.
    void waitForRun();

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

    Program &m_program;
    std::unique_ptr<RichLogView> m_logView;
    std::unique_ptr<RunThread> m_run;
    frmAbout *m_about = nullptr;
    std::unique_ptr<TaskPropertySheet> m_propertySheet;
    // txtOutputPath's text, for the archive run's thread; the field changes only through
    // setArchiveFolderText.
    mutable std::mutex m_folderMutex;
    QString m_folderText;
    bool m_paneShown = false;
    bool m_waitPointer = false;
};
