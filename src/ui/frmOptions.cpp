#include "ui/frmOptions.h"

#include "app/Dialogs.h"
#include "app/Program.h"
#include "common/Failure.h"
#include "platform/PassphraseFile.h"
#include "ui/WindowLook.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace {

QString sentence(const QString &text)
{
    return text.left(1).toUpper() + text.mid(1) + QLatin1Char('.');
}

// One option as a sentence over two lines: its start, which takes the access key, then the
// number and the words after it, which say what 0 means. Nothing wraps, so the window is as tall
// as its text at any font size.
QSpinBox *addNumberRow(QVBoxLayout *layout, QWidget *owner, QLabel *&label, const QString &before,
                       const QString &after, const QString &tip)
{
    label = new QLabel(before, owner);
    auto *number = new QSpinBox(owner);
    number->setRange(0, archiveOptionLimit);
    number->setToolTip(tip);
    label->setBuddy(number);
    auto *row = new QHBoxLayout;
    row->addWidget(number);
    row->addWidget(new QLabel(after, owner));
    row->addStretch(1);
    layout->addSpacing(layout->spacing());
    layout->addWidget(label);
    layout->addLayout(row);
    return number;
}

} // namespace

frmOptions::frmOptions(Program &program, QWidget *parent)
    : QDialog(parent)
    , m_program(program)
{
    setWindowTitle(QStringLiteral("Options"));
    chooseFile = [this](const QString &start) {
        QFileDialog dialog(this, QStringLiteral("Select the passphrase file"),
                           start.isEmpty() ? QString() : QFileInfo(start).absolutePath());
        dialog.setFileMode(QFileDialog::ExistingFile);
        // Such files are often kept hidden.
        dialog.setFilter(dialog.filter() | QDir::Hidden);
        return dialog.exec() == QDialog::Accepted ? dialog.selectedFiles().value(0) : QString();
    };

    frameEncryption =
        new QGroupBox(QStringLiteral("&Encrypt archives with the passphrase in this file:"), this);
    txtPassphraseFile = new QLineEdit(frameEncryption);
    txtPassphraseFile->setPlaceholderText(QStringLiteral("no encryption"));
    txtPassphraseFile->setToolTip(QStringLiteral(
        "The file whose first line is the passphrase (AES-256); empty: archives are not "
        "encrypted.\nIt must belong to the account that runs Sorvik and be readable by it only "
        "(mode 0600).\nThe names of the files in an archive stay readable; their content does "
        "not."));
    cmdBrowsePassphraseFile = new QPushButton(QStringLiteral("&Browse..."), frameEncryption);
    cmdBrowsePassphraseFile->setToolTip(QStringLiteral("Choose the passphrase file"));
    auto *fileRow = new QHBoxLayout(frameEncryption);
    fileRow->addWidget(txtPassphraseFile, 1);
    fileRow->addWidget(cmdBrowsePassphraseFile);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(frameEncryption);
    spnKeepDays = addNumberRow(
        layout, this, lblKeepDays,
        QStringLiteral("&Remove this computer's archives from the archive folder after"),
        QStringLiteral("days (0 = never)"),
        QStringLiteral("After each delivered run, this computer's archives older than this many "
                       "days are removed from the archive folder; 0 keeps them"));
    spnKeepCount = addNumberRow(
        layout, this, lblKeepCount, QStringLiteral("&Keep at most"),
        QStringLiteral("of this computer's archives (0 = no limit)"),
        QStringLiteral("After each delivered run, only this many of this computer's newest "
                       "archives stay in the archive folder; 0 keeps them all"));
    chkObfuscate = new QCheckBox(
        QStringLiteral("Obf&uscate: addresses, names and numbers get stand-ins"), this);
    chkObfuscate->setToolTip(QStringLiteral(
        "IP and MAC addresses, host and user names, e-mail addresses, telephone numbers, mailbox "
        "and subscriber ids:\nevery entry and its name is cleaned before it is compressed; only "
        "this computer can turn the stand-ins back (sorvik --reveal).\nFiles that are not text "
        "stay out unless "
        "ObfuscateSafe in Sorvik.ini lists them; ObfuscateWords names the site's own words."));
    layout->addSpacing(layout->spacing());
    layout->addWidget(chkObfuscate);
    layout->addStretch(1);
    buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setToolTip(QStringLiteral("Keep the changes"));
    buttons->button(QDialogButtonBox::Cancel)
        ->setToolTip(QStringLiteral("Leave the options as they were"));
    layout->addWidget(buttons);

    connect(cmdBrowsePassphraseFile, &QPushButton::clicked, this,
            &frmOptions::cmdBrowsePassphraseFile_Click);
    connect(buttons, &QDialogButtonBox::accepted, this, &frmOptions::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    // A value that cannot be read is said, not passed over: OK would store what the window shows.
    const StoredArchiveOptions stored = LoadArchiveOptions(program);
    txtPassphraseFile->setText(stored.options.PassphraseFile);
    spnKeepDays->setValue(stored.options.KeepDays);
    spnKeepCount->setValue(stored.options.KeepCount);
    chkObfuscate->setChecked(stored.options.Obfuscate);
    m_stored = stored.options;
    for (const ArchiveOptionProblem &problem : stored.problems)
        program.dialogs().messageBox(
            sentence(problem.text) +
            QStringLiteral(" The window shows the default; OK stores what it shows."));
    prepareWindow(this, QSize(560, sizeHint().height()));
}

ArchiveOptions frmOptions::shown() const
{
    ArchiveOptions options = m_stored;
    options.PassphraseFile = txtPassphraseFile->text().trimmed();
    options.KeepDays = spnKeepDays->value();
    options.KeepCount = spnKeepCount->value();
    options.Obfuscate = chkObfuscate->isChecked();
    return options;
}

void frmOptions::cmdBrowsePassphraseFile_Click()
{
    const QString chosen = chooseFile(txtPassphraseFile->text().trimmed());
    if (!chosen.isEmpty())
        txtPassphraseFile->setText(chosen);
}

void frmOptions::accept()
{
    const ArchiveOptions options = shown();
    // Refused here as a run would refuse it, so that no scheduled run finds out first. What was
    // read is wiped at once.
    const bool saved = trap(
        [&] {
            if (!options.PassphraseFile.isEmpty())
                readPassphraseFile(options.PassphraseFile);
            SaveArchiveOptions(m_program, options);
        },
        [&](const Failure &failure) {
            m_program.dialogs().messageBox(sentence(failure.description()));
        });
    if (saved)
        QDialog::accept();
}
