#pragma once

#include "schedule/TaskScheduler.h"

#include <QDialog>

class QCheckBox;
class QDateEdit;
class QLineEdit;
class QSpinBox;
class QTimeEdit;

// A task's property sheet: enabled, start time, begin day, repeat every N days, the account it
// runs as; the program and command line shown. OK takes the changes, Cancel changes nothing.
class PropertySheetDialog : public QDialog {
    Q_OBJECT
public:
    PropertySheetDialog(ScheduledTask &task, QWidget *owner);

    QCheckBox *chkEnabled;
    QTimeEdit *txtStartTime;
    QDateEdit *txtBeginDay;
    QSpinBox *spnEveryDays;
    QLineEdit *txtAccount;
    QLineEdit *txtProgram;
    QLineEdit *txtCommandLine;

    // Writes what the sheet shows into the task.
    void apply(ScheduledTask &task) const;

    void accept() override;

private:
    ScheduledTask &m_task;
};

// Shows the sheet modally over its owner.
class QtTaskPropertySheet : public TaskPropertySheet {
public:
    bool edit(ScheduledTask &task, QObject *owner) override;
};
