#include "ui/HelpFile.h"

#include "app/Dialogs.h"
#include "app/Program.h"
#include "common/Failure.h"
#include "ui/WindowLook.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

namespace {
// The help page in a reader of the program's own, for a server without a desktop to open it.
void showHelpHere(const QString &help, const QString &application)
{
    auto *viewer = new QDialog(QApplication::activeWindow());
    viewer->setAttribute(Qt::WA_DeleteOnClose);
    viewer->setWindowTitle(QStringLiteral("Orvel Sorvik Help"));
    auto *page = new QTextBrowser(viewer);
    page->setToolTip(QStringLiteral("The help page of Orvel Sorvik"));
    page->setOpenExternalLinks(false);
    page->setSource(QUrl::fromLocalFile(help));
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, viewer);
    buttons->button(QDialogButtonBox::Close)->setToolTip(QStringLiteral("Close the help page"));
    QObject::connect(buttons, &QDialogButtonBox::rejected, viewer, &QDialog::reject);
    auto *layout = new QVBoxLayout(viewer);
    layout->addWidget(page, 1);
    layout->addWidget(buttons);
    prepareWindow(viewer, QSize(640, 480));
    keepPlace(viewer, application, QStringLiteral("HelpViewer"));
    viewer->show();
}
} // namespace

void LaunchHelpFile(Program &program)
{
    const QString help = program.programFolder() + QStringLiteral("/Help/OrvelSorvik.htm");
    int result = 0;
    trapSilently([&] { result = qint16(program.launcher().open(help)); });
    trapSilently([&] {
        if (result == LaunchResult::NoAssociation)
            program.dialogs().messageBoxLater(
                QStringLiteral("No program is currently associated to open this file type: ") +
                    help + QStringLiteral("\n\nShow the help page in Sorvik's own reader?"),
                MessageButtons::YesNo, QString(),
                [help, application = program.executableName()](DialogAnswer answer) {
                    if (answer == DialogAnswer::Yes)
                        trapSilently([&] { showHelpHere(help, application); });
                });
        else if (result <= 32)
            program.dialogs().messageBoxLater(
                QStringLiteral("Unable to launch help file %1. Try opening the file manually in a "
                               "browser. Error code returned is %2")
                    .arg(help, QString::number(result)),
                MessageButtons::OK, QString(), {});
    });
}
