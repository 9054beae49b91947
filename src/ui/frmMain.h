#pragma once

#include "app/RunHost.h"
#include "ui/RichLogView.h"

#include <QElapsedTimer>
#include <QMainWindow>

#include <memory>

class Program;
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
// Start and Exit at the bottom.
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
    void pumpEvents() override;

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

    Program &m_program;
    RichLogView m_logView;
    frmAbout *m_about = nullptr;
    std::unique_ptr<TaskPropertySheet> m_propertySheet;
    QElapsedTimer m_lastPump;
};
