#pragma once

#include "app/ArchiveOptions.h"

#include <QDialog>

#include <functional>

class Program;
class QCheckBox;
class QDialogButtonBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

// File > Options: the passphrase file that archives are encrypted with, how long this
// computer's archives stay in the archive folder, and whether they are obfuscated. Shows what
// Sorvik.ini holds; OK checks the passphrase file and stores what changed, Cancel (or Escape)
// changes nothing.
class frmOptions : public QDialog {
    Q_OBJECT
public:
    explicit frmOptions(Program &program, QWidget *parent = nullptr);

    QGroupBox *frameEncryption;
    QLineEdit *txtPassphraseFile;
    QPushButton *cmdBrowsePassphraseFile;
    QLabel *lblKeepDays;
    QSpinBox *spnKeepDays;
    QLabel *lblKeepCount;
    QSpinBox *spnKeepCount;
    QCheckBox *chkObfuscate;
    QDialogButtonBox *buttons;

    // Asks for a file, starting at the given path; "" when cancelled. A file dialog, unless a test
    // puts its own.
    std::function<QString(const QString &start)> chooseFile;

    // The options as the window shows them.
    ArchiveOptions shown() const;

    void accept() override;

public slots:
    void cmdBrowsePassphraseFile_Click();

private:
    Program &m_program;
    // What Sorvik.ini held: the options the window does not show stay as they are.
    ArchiveOptions m_stored;
};
