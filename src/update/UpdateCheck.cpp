#include "update/UpdateCheck.h"

#include "app/Dialogs.h"
#include "app/Program.h"
#include "app/RunHost.h"
#include "common/ControlText.h"
#include "common/Failure.h"
#include "common/Version.h"
#include "update/Download.h"
#include "update/ToolsSite.h"

#include <QStringList>

#include <memory>
#include <utility>

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
             dialogs.messageBoxLater(
                 QStringLiteral(
                     "(error):%1 (%2) in procedure PadVersionString of Module modUpdateCheck")
                     .arg(QString::number(failure.number()), failure.description()),
                 MessageButtons::OK, QString(), {});
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

QString GetLatestVersion(Program &program, const QString &address, const QString &document)
{
    QString found;
    trapSilently([&] {
        // The address after the site's own (which may hold a folder, and a user name that the
        // address does not): the home page's path.
        const QString page = withoutUserInfo(address).mid(withoutUserInfo(toolsSite()).size());
        const QString version = publishedVersion(document, page);
        found = PadVersionString(program.dialogs(), version);
    });
    return found;
}

namespace {
// One foreground check while it waits for the site.
struct PendingCheck {
    std::unique_ptr<Download> download;
    std::unique_ptr<BusyNotice> notice;
    std::function<void()> done;

    void end()
    {
        notice.reset();
        download.reset();
        if (const auto finished = std::exchange(done, nullptr))
            finished();
    }
};

void tellLatest(Program &program, const QString &address, const QString &document,
                const std::function<void()> &done)
{
    Dialogs &dialogs = program.dialogs();
    const auto tell = [&](const QString &text, MessageButtons buttons = MessageButtons::OK,
                          const QString &title = QString(),
                          std::function<void(DialogAnswer)> answered = {}) {
        dialogs.messageBoxLater(text, buttons, title, [answered, done](DialogAnswer answer) {
            if (answered)
                answered(answer);
            done();
        });
    };
    const auto report = [&](const Failure &failure) {
        dialogs.messageBoxLater(
            QStringLiteral("Error %1 (%2) in procedure checkForUpdatedVersion_Foreground "
                           "of Module modUpdateCheck")
                .arg(QString::number(failure.number()), failure.description()),
            MessageButtons::OK, QString(), {});
    };
    QString published;
    QString installed;
    trap([&] { published = GetLatestVersion(program, address, document); }, report);
    trap([&] { installed = PadVersionString(dialogs, versionText()); }, report);
    bool told = false;
    trap(
        [&] {
            if (published.isEmpty()) {
                told = true;
                tell(QStringLiteral("Unable to contact application home page to check for "
                                    "version.  You can access the home page and check for "
                                    "updated versions of all Tavik Orvel tools by going to ") +
                     toolsSiteHost());
            } else if (installed < published) {
                told = true;
                tell(QStringLiteral("An updated version of this tool is available on ") +
                         toolsSiteHost() +
                         QStringLiteral(".  Click OK to open the application home page now"),
                     MessageButtons::OKCancel, QStringLiteral("Updated version is available"),
                     [&program, address](DialogAnswer answer) {
                         if (answer == DialogAnswer::OK)
                             trapSilently([&] { program.launcher().open(address); });
                     });
            } else {
                told = true;
                tell(QStringLiteral("You have the most up to date version of this tool installed"));
            }
        },
        report);
    if (!told)
        done();
}
} // namespace

void checkForUpdatedVersion_Foreground(Program &program, const QString &address,
                                       const std::function<void()> &done)
{
    auto check = std::make_shared<PendingCheck>();
    check->done = done;
    const std::weak_ptr<PendingCheck> pending = check;
    check->notice = program.dialogs().showBusy(
        QStringLiteral("Checking the tools web site for an updated version..."), [pending] {
            if (const auto check = pending.lock())
                check->end();
        });
    // The download's answer holds the check until it comes; Cancel ends it sooner.
    check->download = std::make_unique<Download>(
        DownloadListUrl(), [&program, address, check](const QString &document) {
            check->notice.reset();
            check->download.reset();
            const std::function<void()> finished = std::exchange(check->done, nullptr);
            tellLatest(program, address, document, [finished] {
                if (finished)
                    finished();
            });
        });
}

void mnuCheckForUpdatedVersion_Click(Program &program, WindowHost &host,
                                     const std::function<void()> &done)
{
    host.setWaitPointer(true);
    checkForUpdatedVersion_Foreground(program, HomePageUrl(), [&host, done] {
        host.setWaitPointer(false);
        if (done)
            done();
    });
}
