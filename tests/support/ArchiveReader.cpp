#include "support/ArchiveReader.h"

#include "platform/FileSystem.h"
#include "support/TestEnvironment.h"

#include <QCryptographicHash>
#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

#include <functional>

using namespace Qt::Literals::StringLiterals;

namespace {

Ran script(const char *name, const QStringList &arguments, const QByteArray &input = {})
{
    return runTool(
        u"python3"_s,
        QStringList{QStringLiteral(SORVIK_SOURCE_DIR "/tests/support/") + QLatin1String(name)} +
            arguments,
        input);
}

// Each line one of our Python readers printed, split at its tabs; or a failure of the test saying
// why the reader refused the archive.
std::optional<QList<QList<QByteArray>>> readerLines(const char *name, const QStringList &arguments,
                                                    const QByteArray &input = {})
{
    const Ran ran = script(name, arguments, input);
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

// The entry's SHA-256 as 7-Zip extracts it, streamed: an entry may be larger than memory.
QByteArray sevenZipDigest(const QString &path, const QString &entry, const QByteArray &passphrase)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    const Ran ran =
        runTool(u"7z"_s, {u"x"_s, u"-so"_s, u"-p"_s + QString::fromUtf8(passphrase), path, entry},
                {}, [&](QProcess &process) {
                    while (process.waitForReadyRead(600000) || process.bytesAvailable() > 0)
                        hash.addData(process.readAllStandardOutput());
                });
    return ran.status == 0 ? hash.result().toHex() : QByteArray();
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
    const auto lines = readerLines("ae2read.py", {path}, passphrase + '\n');
    if (!lines)
        return std::nullopt;
    ArchiveContent content;
    for (const auto &f : *lines) {
        if (f.size() != 5)
            continue;
        const QString name = decodeNativePath(f[0]);
        content[name] = {f[1].toLongLong(), f[2], f[3].toInt(), 0, {}};
        const QByteArray extracted = sevenZipDigest(path, name, passphrase);
        if (extracted != f[2]) {
            ADD_FAILURE() << "7-Zip extracts " << name.toStdString() << " as "
                          << extracted.toStdString() << ", not " << f[2].toStdString();
            return std::nullopt;
        }
    }
    return content;
}

Refusals refusedEntries(const QString &path, const QByteArray &passphrase)
{
    const Ran tested = runTool(u"7z"_s, {u"t"_s, u"-p"_s + QString::fromUtf8(passphrase), path});
    return {int((tested.output + tested.errors).count("Wrong password")),
            int(script("ae2read.py", {path}, passphrase + '\n').errors.count("bad entry: "))};
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
