#include "support/ArchiveReader.h"

#include "platform/FileSystem.h"
#include "support/TestEnvironment.h"

#include <QCryptographicHash>
#include <QFile>

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;

namespace {

// Each line one of our Python readers printed, split at its tabs; or a failure of the test saying
// why the reader refused the archive.
std::optional<QList<QList<QByteArray>>> readerLines(const char *name, const QStringList &arguments,
                                                    const QByteArray &input = {})
{
    const Ran ran = runScript(u"support/"_s + QLatin1String(name), arguments, input);
    if (ran.status != 0) {
        ADD_FAILURE() << "the reader " << name << " refused " << arguments.last().toStdString()
                      << ": " << ran.errors.toStdString();
        return std::nullopt;
    }
    QList<QList<QByteArray>> lines;
    for (const QByteArray &line : ran.output.split('\n'))
        lines.append(line.split('\t'));
    return lines;
}

} // namespace

std::optional<ArchiveContent> readArchive(const QString &path, quint64 prefix)
{
    const auto lines =
        readerLines("zipstrict.py", {u"--read"_s, u"--prefix"_s, QString::number(prefix), path});
    if (!lines)
        return std::nullopt;
    ArchiveContent content;
    for (const auto &f : *lines)
        if (f.size() == 6)
            content[decodeNativePath(f[0])] = {f[1].toLongLong(), f[2], f[3].toInt(),
                                               f[4].toLongLong(), QString::fromLatin1(f[5])};
    return content;
}

std::optional<ArchiveHeaders> readHeaders(const QString &path, quint64 prefix)
{
    const auto lines =
        readerLines("zipstrict.py", {u"--headers"_s, u"--prefix"_s, QString::number(prefix), path});
    if (!lines)
        return std::nullopt;
    ArchiveHeaders headers{QString::fromUtf8(lines->value(0).value(0)), {}};
    for (const auto &f : *lines)
        if (f.size() == 4)
            headers.entries[decodeNativePath(f[0])] = {f[1].toULongLong(), f[2].toULongLong(),
                                                       f[3].toULongLong()};
    return headers;
}

std::optional<ArchiveContent> readEncryptedArchive(const QString &path,
                                                   const QByteArray &passphrase)
{
    const auto lines = readerLines("ae2read.py", {u"--7z"_s, path}, passphrase + '\n');
    if (!lines)
        return std::nullopt;
    ArchiveContent content;
    for (const auto &f : *lines)
        if (f.size() == 5)
            content[decodeNativePath(f[0])] = {f[1].toLongLong(), f[2], f[3].toInt(), 0, {}};
    return content;
}

Refusals refusedEntries(const QString &path, const QByteArray &passphrase)
{
    const Ran tested = runTool(u"7z"_s, {u"t"_s, u"-p"_s + QString::fromUtf8(passphrase), path});
    return {int((tested.output + tested.errors).count("Wrong password")),
            int(runScript(u"support/ae2read.py"_s, {path}, passphrase + '\n')
                    .errors.count("bad entry: "))};
}

QByteArray fileDigest(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return hash.result().toHex();
}
