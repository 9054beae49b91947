#include "common/ControlText.h"

#include <utility>

namespace {

bool breaksLine(char16_t c)
{
    return (c < 0x20 && c != u'\t') || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

qsizetype firstControl(QStringView text)
{
    qsizetype first = 0;
    for (; first < text.size(); ++first) {
        const char16_t c = text[first].unicode();
        // Printable ASCII, nearly every character of a line, is settled by one comparison.
        if (char16_t(c - 0x20) >= 0x5F && breaksLine(c))
            break;
    }
    return first;
}

QString escaped(QStringView text, qsizetype first)
{
    QString shown = text.left(first).toString();
    for (qsizetype i = first; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (!breaksLine(c))
            shown += QChar(c);
        else
            shown += (c < 0x100 ? QStringLiteral("\\x") : QStringLiteral("\\u")) +
                     QString::number(uint(c), 16).rightJustified(c < 0x100 ? 2 : 4, u'0').toUpper();
    }
    return shown;
}

} // namespace

QString escapeControls(QStringView text)
{
    const qsizetype first = firstControl(text);
    return first == text.size() ? text.toString() : escaped(text, first);
}

QString escapeControls(const QString &text)
{
    const qsizetype first = firstControl(text);
    return first == text.size() ? text : escaped(text, first);
}

namespace {

bool isSeparator(QChar c)
{
    return c == u'/' || c == u'\\';
}

// Where the server part of a share path or address begins: after "scheme:" or a leading "//" or
// "\\", and every separator that follows (a path typed with one too many, or with the other kind,
// still names its server there). -1 for any other path, which has no server part to hold a user
// name; a drive letter ("C:\\") is no scheme.
qsizetype serverPartStart(QStringView path)
{
    qsizetype i = 0;
    if (!path.startsWith(u"//") && !path.startsWith(u"\\\\")) {
        while (i < path.size() && (path.at(i).isLetterOrNumber() || path.at(i) == u'+' ||
                                   path.at(i) == u'-' || path.at(i) == u'.'))
            ++i;
        if (i < 2 || !path.at(0).isLetter() || i + 1 >= path.size() || path.at(i) != u':' ||
            !isSeparator(path.at(i + 1)))
            return -1;
        ++i;
    }
    while (i < path.size() && isSeparator(path.at(i)))
        ++i;
    return i;
}

// Where the user part of a path's server part ends, or -1 when it has none: the last '@' of the
// server part, which ends at the first separator of the kind that comes before it. A password may
// hold separators of either kind, which move its '@' past them: where the server part holds a ':'
// (after a user name) or a ';' (after a domain), the last '@' of the whole path ends it. A folder
// named with an '@' then costs the names before it in messages, which is better than showing a
// password.
qsizetype userPartEnd(QStringView path)
{
    const qsizetype start = serverPartStart(path);
    if (start < 0)
        return -1;
    const QChar separator = path.at(start - 1);
    qsizetype end = start;
    while (end < path.size() && path.at(end) != separator)
        ++end;
    const QStringView server = path.mid(start, end - start);
    const qsizetype at = server.contains(u':') || server.contains(u';')
                             ? path.lastIndexOf(u'@')
                             : start + server.lastIndexOf(u'@');
    return at < start ? -1 : at;
}

QString masked(QStringView path, qsizetype at)
{
    return escapeControls(path.left(serverPartStart(path))) + QStringLiteral("***") +
           escapeControls(path.mid(at));
}

// Where a query begins in a path with a server part ("?password=..." is no folder name on a
// share, and an address's query may carry a key): past the user part, which may hold a '?' of its
// own. -1 where there is none.
qsizetype queryStart(QStringView path, qsizetype userEnd)
{
    const qsizetype start = serverPartStart(path);
    return start < 0 ? -1 : path.indexOf(u'?', userEnd >= 0 ? userEnd : start);
}

// A problem line's marker in a name ("(error)" or "(warning)", in any case) would make the line
// that shows the name count as one: its "(" is shown escaped, as a control character is. So is
// a marker's start, which words of ours after the name could end (" (in the archive: x(error)").
QString escapedMarkers(QString shown)
{
    for (qsizetype at = shown.indexOf(u'('); at >= 0; at = shown.indexOf(u'(', at + 1)) {
        const QStringView rest = QStringView(shown).mid(at + 1);
        if (rest.startsWith(u"error", Qt::CaseInsensitive) ||
            rest.startsWith(u"warning", Qt::CaseInsensitive))
            shown.replace(at, 1, QStringLiteral("\\x28"));
    }
    return shown;
}

} // namespace

QString shownPath(QStringView path)
{
    const qsizetype at = userPartEnd(path);
    const qsizetype query = queryStart(path, at);
    const QStringView kept = query < 0 ? path : path.left(query);
    QString shown = at < 0 ? escapeControls(kept) : masked(kept, at);
    if (query >= 0)
        shown += QStringLiteral("?***");
    return escapedMarkers(std::move(shown));
}

QString shownPath(const QString &path)
{
    if (userPartEnd(path) < 0 && queryStart(path, -1) < 0 && !path.contains(u'('))
        return escapeControls(path);
    return shownPath(QStringView(path));
}

bool holdsUserInfo(QStringView path)
{
    return userPartEnd(path) >= 0;
}

QString withoutUserInfo(const QString &path)
{
    const qsizetype at = userPartEnd(path);
    return at < 0 ? path : path.left(serverPartStart(path)) + path.mid(at + 1);
}

QString withReason(const QString &words, const QString &reason)
{
    return reason.isEmpty() ? words : words + QStringLiteral(" (") + reason + QLatin1Char(')');
}
