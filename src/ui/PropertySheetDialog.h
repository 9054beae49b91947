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
    // It keeps its place in the settings of `application`.
    PropertySheetDialog(ScheduledTask &task, QWidget *owner,
                        const QString &application = QString());

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
    explicit QtTaskPropertySheet(QString application = QString())
        : m_application(std::move(application))
    {
    }
    bool edit(ScheduledTask &task, QObject *owner) override;

private:
    QString m_application;
};
