#pragma once

#include <QDialog>

#include <array>
#include <memory>

class Program;
class QFrame;
class QLabel;
class QListWidget;
class QPushButton;
class QTextEdit;
class WindowHost;
class TaskPropertySheet;
class TaskScheduler;

// The scheduling window: the machine's scheduled tasks, the details of the one clicked, its
// property sheet, deleting one, and making a new archive task.
class frmSchedule : public QDialog {
    Q_OBJECT
public:
    frmSchedule(Program &program, WindowHost &mainWindow, TaskPropertySheet &sheet,
                QWidget *parent = nullptr);
    ~frmSchedule() override;

    QListWidget *lstTasks;
    QPushButton *cmdNew;
    QPushButton *cmdProps;
    QPushButton *cdmDelete;
    QPushButton *cmdClose;
    QFrame *Frame1;
    // Control arrays, by their indices: captions 0, 1, 4, 5, 6, 7; values 0, 1, 3, 4, 5.
    std::array<QLabel *, 8> lbLabels{};
    std::array<QLabel *, 6> lblInfo{};
    QTextEdit *txtSchedule;

    void Form_Load();
    void Form_Activate();
    // Fills the list afresh, the selection on `select` when given, else where it was.
    void RefreshList(const QString &select = QString());

public slots:
    void lstTasks_Click();
    void cmdProps_Click();
    void cdmDelete_Click();
    void cmdClose_Click();
    void cmdNew_Click();

protected:
    void showEvent(QShowEvent *event) override;
    // Enter and Delete on the list act on its selected task.
    bool eventFilter(QObject *watched, QEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    // Made the first time it is needed and kept while the window is open.
    TaskScheduler &Scheduler();
    void buildControls();
    // The line selected, or -1.
    int selectedRow() const;
    // The buttons that need a selected task follow the selection, and the details describe the
    // selected task; without one they go.
    void selectionChanged(int row);
    // One box for a failure of the task scheduler; the window carries on.
    void report(const char *procedure, const QString &description);

    Program &m_program;
    WindowHost &m_mainWindow;
    TaskPropertySheet &m_sheet;
    std::unique_ptr<TaskScheduler> m_scheduler;
};
