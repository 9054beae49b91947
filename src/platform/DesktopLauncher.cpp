#include "platform/DesktopLauncher.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

int DesktopLauncher::open(const QString &target)
{
    const QUrl address(target);
    const bool remote =
        address.scheme() == QLatin1String("http") || address.scheme() == QLatin1String("https");
    if (!remote && !QFileInfo::exists(target))
        return LaunchResult::FileNotFound;
    const QUrl url = remote ? address : QUrl::fromLocalFile(QFileInfo(target).absoluteFilePath());
    return QDesktopServices::openUrl(url) ? LaunchResult::Success : LaunchResult::NoAssociation;
}
