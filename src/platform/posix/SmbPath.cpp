#include "platform/posix/SmbPath.h"

#include "common/ControlText.h"
#include "platform/FileSystem.h"

#include <QRegularExpression>
#include <QUrl>

#include <cerrno>

namespace {

const QLatin1StringView scheme("smb://");

bool isSeparator(QChar c)
{
    return c == QLatin1Char('/') || c == QLatin1Char('\\');
}

[[noreturn]] void refuse(const QString &path, const QString &why)
{
    throw FileSystemError(EINVAL, QStringLiteral("Cannot use the share path"), path, why);
}

} // namespace

bool SmbPath::isShare(const QString &path)
{
    return path.startsWith(QLatin1StringView("\\\\")) || path.startsWith(QLatin1StringView("//")) ||
           path.startsWith(scheme, Qt::CaseInsensitive);
}

SmbPath SmbPath::parse(const QString &path)
{
    if (!isShare(path))
        refuse(path, QStringLiteral("it is not a share path (\\\\server\\share\\folder)"));
    const bool url = path.startsWith(scheme, Qt::CaseInsensitive);
    QString rest = path.mid(url ? scheme.size() : 2);

    qsizetype end = 0;
    while (end < rest.size() && !isSeparator(rest.at(end)))
        ++end;
    QString authority = rest.left(end);
    rest = rest.mid(end);

    SmbPath place;
    // A password typed into the path would be kept in the setting, and no part of a path that
    // may hold one is shown unhidden: such a path is refused as a whole.
    if (holdsUserInfo(path))
        refuse(path, QStringLiteral("it may hold a user name or password, which do not belong in "
                                    "the path; put them into the credentials file"));
    // In this form a ':' outside an address in brackets is no part of a server's name: a port has
    // a form of its own, and the ':' may end a user name. No part of the server is repeated.
    const qsizetype bracketEnd =
        authority.startsWith(QLatin1Char('[')) ? authority.indexOf(QLatin1Char(']')) : -1;
    if (!url && authority.mid(bracketEnd + 1).contains(QLatin1Char(':')))
        refuse(path, QStringLiteral("the server part holds a ':': a port is given only in the "
                                    "form smb://server:port/share/, and a user name or password "
                                    "does not belong in the path"));
    if (url) {
        static const QRegularExpression hostPort(
            QStringLiteral(R"(^(\[[^\]]*\]|[^:]*)(?::(\d+))?$)"));
        const auto match = hostPort.match(authority);
        if (!match.hasMatch())
            refuse(path, QStringLiteral("the server part is not a server name with an "
                                        "optional port"));
        authority = QUrl::fromPercentEncoding(match.captured(1).toUtf8());
        if (match.hasCaptured(2)) {
            bool number = false;
            const uint port = match.captured(2).toUInt(&number);
            if (!number || port == 0 || port > 65535)
                refuse(path, QStringLiteral("the port is not one from 1 to 65535"));
            place.port = quint16(port);
        }
    }
    if (authority.isEmpty())
        refuse(path, QStringLiteral("it names no server"));
    place.server = authority;

    for (const QString &part :
         rest.split(QRegularExpression(QStringLiteral("[/\\\\]")), Qt::SkipEmptyParts)) {
        const QString name = url ? QUrl::fromPercentEncoding(part.toUtf8()) : part;
        if (name == QLatin1StringView(".") || name == QLatin1StringView(".."))
            refuse(path, QStringLiteral("'.' and '..' are not folder names on a share"));
        if (place.share.isEmpty())
            place.share = name;
        else
            place.names << name;
    }
    if (place.share.isEmpty())
        refuse(path, QStringLiteral("it names no share on server %1").arg(place.server));
    return place;
}

QByteArray SmbPath::url() const
{
    QByteArray text = "smb://";
    // An address in brackets (IPv6) keeps them; a name is encoded like any other.
    text += server.startsWith(QLatin1Char('[')) ? server.toUtf8() : QUrl::toPercentEncoding(server);
    if (port != 0)
        text += ':' + QByteArray::number(port);
    text += '/' + QUrl::toPercentEncoding(share) + '/';
    text += QUrl::toPercentEncoding(names.join(QLatin1Char('/')), "/");
    return text;
}

QString SmbPath::where() const
{
    return QStringLiteral("server %1, share %2").arg(server, share);
}

SmbPath SmbPath::shareRoot() const
{
    SmbPath root = *this;
    root.names.clear();
    return root;
}

SmbPath SmbPath::parent() const
{
    SmbPath folder = *this;
    if (!folder.names.isEmpty())
        folder.names.removeLast();
    return folder;
}
