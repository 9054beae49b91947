#include "ui/frmAbout.h"

#include "app/Dialogs.h"
#include "common/Failure.h"
#include "common/Version.h"
#include "ui/WindowLook.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

frmAbout::frmAbout(Dialogs &dialogs, QWidget *parent, const QString &application)
    : QDialog(parent)
    , m_dialogs(dialogs)
{
    setWindowTitle(QStringLiteral("Orvel Sorvik"));
    setModal(true);
    // Also makes the compiled-in pictures available.
    setWindowIcon(logoIcon());

    picLogo = new QLabel(this);
    picLogo->setPixmap(QPixmap(QStringLiteral(":/resources/logo.png")));
    lblMaker = new QLabel(QStringLiteral("Orvel Sorvik, one of the Tavik Orvel tools"), this);
    lblCopyright =
        new QLabel(QStringLiteral("Copyright \u00A9 2026 Tavik. All rights reserved."), this);
    lblVersionTitle = new QLabel(QStringLiteral("Version:"), this);
    QFont bold = lblVersionTitle->font();
    bold.setBold(true);
    lblVersionTitle->setFont(bold);
    lblVersion = new QLabel(this);
    readLeftToRight(lblVersion);
    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setDefault(true);
    cmdOK->setToolTip(QStringLiteral("Close this window"));

    auto *text = new QVBoxLayout;
    text->addWidget(lblMaker);
    text->addWidget(lblCopyright);
    auto *version = new QHBoxLayout;
    version->addWidget(lblVersionTitle);
    version->addWidget(lblVersion);
    version->addStretch(1);
    text->addLayout(version);
    text->addStretch(1);

    auto *top = new QHBoxLayout;
    top->addWidget(picLogo, 0, Qt::AlignTop);
    top->addLayout(text, 1);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(cmdOK);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(buttons);

    connect(cmdOK, &QPushButton::clicked, this, &frmAbout::cmdOK_Click);
    keepPlace(this, application, QStringLiteral("frmAbout"));
    Form_Load();
}

void frmAbout::Form_Load()
{
    trap(
        [&] {
            lblVersion->setText(versionText());
            ++m_loads;
        },
        [&](const Failure &failure) {
            m_dialogs.messageBox(QStringLiteral("Error in FormLoad routine:") +
                                 failure.description());
        });
}

void frmAbout::cmdOK_Click()
{
    hide();
}
