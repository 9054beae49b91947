#include "runlog/RunLogReading.h"

#include "platform/FileSystem.h"

#include <QStringDecoder>

#include <algorithm>
#include <cerrno>
#include <unistd.h>
#include <utility>

namespace {

constexpr qsizetype blockBytes = 64 * 1024;

QString visible(QStringView line)
{
    QString text;
    text.reserve(line.size());
    for (const QChar c : line) {
        if ((c.unicode() < 0x20 && c != QLatin1Char('\t')) || c.unicode() == 0x7f)
            text += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            text += c;
    }
    return text;
}

} // namespace

void readRunLog(const QString &path, const std::function<bool(const QString &line)> &line)
{
    const int fd = openRegularFile(path);
    QStringDecoder decoder(QStringDecoder::Utf16LE, QStringDecoder::Flag::Stateless);
    QString pending;
    QByteArray block(blockBytes, Qt::Uninitialized);
    bool first = true;
    bool more = true;
    while (more) {
        const ssize_t n = ::read(fd, block.data(), size_t(block.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            throw FileSystemError(error, QStringLiteral("Cannot read"), path);
        }
        if (n == 0)
            break;
        pending += decoder.decode(QByteArrayView(block.constData(), n));
        if (first && pending.startsWith(QChar(0xfeff)))
            pending.remove(0, 1);
        first = first && pending.isEmpty();
        qsizetype start = 0;
        for (qsizetype end; more && (end = pending.indexOf(QLatin1Char('\n'), start)) >= 0;
             start = end + 1) {
            qsizetype stop = end;
            if (stop > start && pending.at(stop - 1) == QLatin1Char('\r'))
                --stop;
            more = line(visible(QStringView(pending).mid(start, stop - start)));
        }
        pending.remove(0, start);
    }
    ::close(fd);
    if (more && !pending.isEmpty())
        line(visible(pending));
}

bool isProblemLine(const QString &line)
{
    return line.contains(QLatin1String("(error)"), Qt::CaseInsensitive) ||
           line.contains(QLatin1String("(warning)"), Qt::CaseInsensitive);
}

void readRunLogEvents(const QString &path, const std::function<bool(const QString &line)> &line)
{
    // Held back until the header's end is known: a log without one is handed over whole.
    QStringList header;
    enum { InHeader, AfterSearchLine, InEvents } where = InHeader;
    constexpr qsizetype headerLines = 7;
    readRunLog(path, [&](const QString &text) {
        switch (where) {
        case InHeader:
            header << text;
            if (text.startsWith(QLatin1String("**Search for '(error)'"))) {
                where = AfterSearchLine;
                header.clear();
                return true;
            }
            if (header.size() < headerLines)
                return true;
            where = InEvents;
            for (const QString &held : std::exchange(header, {}))
                if (!line(held))
                    return false;
            return true;
        case AfterSearchLine:
            where = InEvents;
            if (text.isEmpty())
                return true;
            return line(text);
        case InEvents:
            return line(text);
        }
        return true;
    });
    for (const QString &held : header)
        if (!line(held))
            return;
}

QStringList runLogsNewestFirst(FileSystem &fs, const QString &logsFolder,
                               const QString &executableName)
{
    if (!fs.FolderExists(logsFolder))
        return {};
    const QString prefix = executableName + QStringLiteral("_Log_");
    std::vector<const File *> logs;
    const Folder folder = fs.GetFolder(logsFolder);
    for (const File &file : folder.Files)
        if (file.Name().startsWith(prefix) &&
            file.Name().endsWith(QLatin1String(".TXT"), Qt::CaseInsensitive))
            logs.push_back(&file);
    std::sort(logs.begin(), logs.end(), [](const File *a, const File *b) {
        if (a->DateLastModified() != b->DateLastModified())
            return a->DateLastModified() > b->DateLastModified();
        return a->Name() > b->Name();
    });
    QStringList paths;
    for (const File *file : logs)
        paths << file->Path();
    return paths;
}
