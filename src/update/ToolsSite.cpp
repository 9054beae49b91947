#include "update/ToolsSite.h"

#include "common/ControlText.h"

#include <QUrl>

namespace {
const char *const defaultSite = "http://tools.sorvik.example";
}

QString toolsSite()
{
    QString site = qEnvironmentVariable("SORVIK_TOOLS_SITE");
    if (site.isEmpty())
        site = QLatin1String(defaultSite);
    while (site.endsWith(QLatin1Char('/')))
        site.chop(1);
    return site;
}

QString toolsSiteHost()
{
    const QUrl url(toolsSite());
    return url.port() > 0 ? QStringLiteral("%1:%2").arg(url.host(), QString::number(url.port()))
                          : url.host();
}

QString HomePageUrl()
{
    // Handed to other programs (the browser, test.bat) on their command lines, which every
    // account can read: without a user name and password, which a browser asks for itself.
    return withoutUserInfo(toolsSite()) +
           QStringLiteral("/Applications/Orvel/Sorvik/OrvelSorvik.html");
}

QString DownloadListUrl()
{
    return toolsSite() + QStringLiteral("/SiteList/AllDownloads/AllDownloads.XML");
}
