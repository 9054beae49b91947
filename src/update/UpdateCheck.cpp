#include "update/UpdateCheck.h"

#include "app/Dialogs.h"
#include "app/Program.h"
#include "app/RunHost.h"
#include "common/Failure.h"
#include "common/Version.h"
#include "update/Download.h"
#include "update/ToolsSite.h"

#include <QStringList>

QString padVersion(const QString &version)
{
    if (version.size() < 4)
        return QString();
    if (!version.contains(QLatin1Char('.')))
        throw Failure(9, QStringLiteral("Subscript out of range"));
    QStringList padded;
    for (const QString &component : version.split(QLatin1Char('.'))) {
        // Taken as a number: its leading digits, without leading zeros, 0 when there are none.
        qsizetype digits = 0;
        while (digits < component.size() && component.at(digits).isDigit())
            ++digits;
        QString number = component.left(digits);
        while (number.size() > 1 && number.startsWith(QLatin1Char('0')))
            number.remove(0, 1);
        padded << number.rightJustified(4, QLatin1Char('0'));
    }
    return padded.join(QLatin1Char('.'));
}

QString PadVersionString(Dialogs &dialogs, const QString &version)
{
    QString padded;
    trap([&] { padded = padVersion(version); },
         [&](const Failure &failure) {
             dialogs.messageBox(
                 QStringLiteral(
                     "(error):%1 (%2) in procedure PadVersionString of Module modUpdateCheck")
                     .arg(failure.number())
                     .arg(failure.description()));
         });
    return padded;
}

QString publishedVersion(const QString &document, const QString &homePath)
{
    if (document.size() < 10)
        return QString();
    const QString marker = QLatin1Char('^') + homePath + QStringLiteral("^ifram_a");
    const qsizetype at = document.indexOf(marker, 0, Qt::CaseInsensitive);
    if (at < 0)
        return QString();
    const qsizetype cell = document.indexOf(QStringLiteral("<cell>"), at, Qt::CaseInsensitive);
    if (cell < 0)
        return QString();
    QString version;
    for (qsizetype i = cell + 6; i < document.size(); ++i) {
        const QChar c = document.at(i);
        if (!(c.unicode() >= '0' && c.unicode() <= '9') && c != QLatin1Char('.'))
            break;
        version += c;
    }
    return version;
}

QString GetLatestVersion(Program &program, const QString &address)
{
    QString found;
    trapSilently([&] {
        // The address without its scheme and host: the home page's path.
        const QString version =
            publishedVersion(DownloadUrlText(DownloadListUrl()), address.mid(toolsSite().size()));
        found = PadVersionString(program.dialogs(), version);
    });
    return found;
}

void checkForUpdatedVersion_Foreground(Program &program, const QString &address)
{
    Dialogs &dialogs = program.dialogs();
    const auto report = [&](const Failure &failure) {
        dialogs.messageBox(
            QStringLiteral("Error %1 (%2) in procedure checkForUpdatedVersion_Foreground "
                           "of Module modUpdateCheck")
                .arg(failure.number())
                .arg(failure.description()));
    };
    QString published;
    QString installed;
    trap([&] { published = GetLatestVersion(program, address); }, report);
    trap([&] { installed = PadVersionString(dialogs, versionText()); }, report);
    trap(
        [&] {
            if (published.isEmpty()) {
                dialogs.messageBox(
                    QStringLiteral("Unable to contact application home page to check for "
                                   "version.  You can access the home page and check for "
                                   "updated versions of all Tavik Orvel tools by going to ") +
                    toolsSiteHost());
            } else if (installed < published) {
                const DialogAnswer answer = dialogs.messageBox(
                    QStringLiteral("An updated version of this tool is available on ") +
                        toolsSiteHost() +
                        QStringLiteral(".  Click OK to open the application home page now"),
                    MessageButtons::OKCancel, QStringLiteral("Updated version is available"));
                if (answer == DialogAnswer::OK)
                    program.launcher().open(address);
            } else {
                dialogs.messageBox(
                    QStringLiteral("You have the most up to date version of this tool installed"));
            }
        },
        report);
}

void mnuCheckForUpdatedVersion_Click(Program &program, RunHost &host)
{
    host.setWaitPointer(true);
    checkForUpdatedVersion_Foreground(program, HomePageUrl());
    host.setWaitPointer(false);
}
