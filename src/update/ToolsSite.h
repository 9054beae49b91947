#pragma once

#include <QString>

// The tools web site: scheme and host, without a trailing slash. SORVIK_TOOLS_SITE replaces it
// (for example http://127.0.0.1:8123), so that a test can serve the site itself.
QString toolsSite();
// The host name as the messages name it.
QString toolsSiteHost();

// This tool's home page on the tools site, without the site's user name and password.
QString HomePageUrl();
// The site's list of all downloads, which names each tool's published version.
QString DownloadListUrl();
