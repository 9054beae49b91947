#pragma once

#include <QDialog>

class Dialogs;
class QLabel;
class QPushButton;

// The About window: the product's logo, its maker and the program's version. Made once and kept;
// OK hides it, so its version line is filled once per process.
class frmAbout : public QDialog {
    Q_OBJECT
public:
    // It keeps its place in the settings of `application`.
    frmAbout(Dialogs &dialogs, QWidget *parent = nullptr, const QString &application = QString());

    QLabel *picLogo;
    QLabel *lblVersionTitle;
    QLabel *lblVersion;
    QLabel *lblMaker;
    QLabel *lblCopyright;
    QPushButton *cmdOK;

    // How often the window has filled its version line.
    int loads() const { return m_loads; }

public slots:
    void cmdOK_Click();

private:
    void Form_Load();

    Dialogs &m_dialogs;
    int m_loads = 0;
};
