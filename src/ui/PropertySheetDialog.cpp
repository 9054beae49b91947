#include "ui/PropertySheetDialog.h"

#include "common/Failure.h"
#include "common/TimeText.h"
#include "ui/WindowLook.h"

#include <QCheckBox>
#include <QDateEdit>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTimeEdit>
#include <QVBoxLayout>

#include <pwd.h>

PropertySheetDialog::PropertySheetDialog(ScheduledTask &task, QWidget *owner,
                                         const QString &application)
    : QDialog(owner)
    , m_task(task)
{
    setWindowTitle(task.name());
    const TaskTrigger trigger = task.Triggers().empty()
                                    ? TaskTrigger{TriggerTypes::Daily, QDateTime::currentDateTime(),
                                                  QDateTime::currentDateTime(), 1}
                                    : task.Triggers().front();

    chkEnabled = new QCheckBox(QStringLiteral("&Enabled (the task runs at its time)"), this);
    chkEnabled->setChecked(task.enabled());
    chkEnabled->setToolTip(QStringLiteral("Whether the task runs at its time"));
    txtStartTime = new QTimeEdit(trigger.StartTime.time(), this);
    txtStartTime->setDisplayFormat(QStringLiteral("HH:mm"));
    txtStartTime->setToolTip(QStringLiteral("The time of day at which the task runs"));
    txtBeginDay = new QDateEdit(trigger.BeginDay.date(), this);
    txtBeginDay->setDisplayFormat(shortDateEntryFormat());
    txtBeginDay->setToolTip(QStringLiteral("The first day on which the task runs"));
    txtBeginDay->setCalendarPopup(true);
    spnEveryDays = new QSpinBox(this);
    spnEveryDays->setRange(1, 365);
    spnEveryDays->setValue(trigger.everyDays);
    spnEveryDays->setSuffix(QStringLiteral(" day(s)"));
    spnEveryDays->setToolTip(QStringLiteral("How many days lie between two runs"));
    txtAccount = new QLineEdit(task.account(), this);
    txtAccount->setPlaceholderText(QStringLiteral("the account that saves the task"));
    txtAccount->setToolTip(
        QStringLiteral("The account the task runs as; empty for the account that saves it"));
    txtProgram = new PathField(QStringLiteral("The program that the task starts"), this);
    txtProgram->setText(task.ApplicationName());
    txtCommandLine = new PathField(QStringLiteral("What the task passes to the program"), this);
    txtCommandLine->setText(task.CommandLine());
    for (QWidget *value :
         std::initializer_list<QWidget *>{txtStartTime, txtBeginDay, txtProgram, txtCommandLine})
        readLeftToRight(value);

    auto *form = new QFormLayout;
    form->addRow(chkEnabled);
    form->addRow(QStringLiteral("Start &time:"), txtStartTime);
    form->addRow(QStringLiteral("&Begin day:"), txtBeginDay);
    form->addRow(QStringLiteral("&Repeat every:"), spnEveryDays);
    form->addRow(QStringLiteral("Run as &account:"), txtAccount);
    form->addRow(QStringLiteral("Program:"), txtProgram);
    form->addRow(QStringLiteral("Command line:"), txtCommandLine);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setToolTip(QStringLiteral("Keep the changes"));
    buttons->button(QDialogButtonBox::Cancel)
        ->setToolTip(QStringLiteral("Leave the task as it was"));
    connect(buttons, &QDialogButtonBox::accepted, this, &PropertySheetDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
    prepareWindow(this, QSize(480, sizeHint().height()));
    keepPlace(this, application, QStringLiteral("PropertySheet"));
}

void PropertySheetDialog::apply(ScheduledTask &task) const
{
    task.setFlags(chkEnabled->isChecked() ? task.Flags() & ~TaskFlags::Disabled
                                          : task.Flags() | TaskFlags::Disabled);
    task.setAccount(txtAccount->text());
    if (task.Triggers().empty())
        task.addTrigger();
    TaskTrigger &trigger = task.Triggers().front();
    trigger.TriggerType = TriggerTypes::Daily;
    trigger.StartTime =
        QDateTime(trigger.StartTime.isValid() ? trigger.StartTime.date() : QDate::currentDate(),
                  txtStartTime->time());
    trigger.BeginDay = QDateTime(
        txtBeginDay->date(), trigger.BeginDay.isValid() ? trigger.BeginDay.time() : QTime(0, 0));
    trigger.everyDays = spnEveryDays->value();
}

void PropertySheetDialog::accept()
{
    // An account the system does not know would give a job that cron refuses to run.
    const QString account = txtAccount->text().trimmed();
    if (!account.isEmpty() && !::getpwnam(account.toLocal8Bit().constData())) {
        QMessageBox::warning(
            this, windowTitle(),
            QStringLiteral("There is no account named %1 on this computer.").arg(account));
        return;
    }
    QDialog::accept();
}

bool QtTaskPropertySheet::edit(ScheduledTask &task, QObject *owner)
{
    PropertySheetDialog sheet(task, qobject_cast<QWidget *>(owner), m_application);
    if (sheet.exec() != QDialog::Accepted)
        return false;
    sheet.apply(task);
    return true;
}
