#include "support/ArchiveReader.h"

#include "platform/FileSystem.h"

#include <QCryptographicHash>
#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

#include <functional>

using namespace Qt::Literals::StringLiterals;

namespace {

struct Ran {
    int status = -1;
    QByteArray output;
    QByteArray errors;
};

Ran runTool(const QString &program, const QStringList &arguments, const QByteArray &input = {},
            const std::function<void(QProcess &)> &reading = {})
{
    QProcess process;
    process.start(program, arguments);
    process.write(input);
    process.closeWriteChannel();
    if (reading)
        reading(process);
    if ((process.state() != QProcess::NotRunning && !process.waitForFinished(600000)) ||
        process.exitStatus() != QProcess::NormalExit)
        return {};
    return {process.exitCode(), process.readAllStandardOutput(), process.readAllStandardError()};
}

Ran script(const char *name, const QStringList &arguments, const QByteArray &input = {})
{
    return runTool(
        u"python3"_s,
        QStringList{QStringLiteral(SORVIK_SOURCE_DIR "/tests/support/") + QLatin1String(name)} +
            arguments,
        input);
}

// What one of our Python readers printed, or a failure of the test saying why it refused.
std::optional<QByteArray> readerOutput(const char *name, const QString &option, quint64 prefix,
                                       const QString &path)
{
    const Ran ran = script(name, {option, QString::number(prefix), path});
    if (ran.status == 0)
        return ran.output;
    ADD_FAILURE() << "the reader refused " << path.toStdString() << ": "
                  << ran.errors.toStdString();
    return std::nullopt;
}

Ran reference(const QString &path, const QByteArray &passphrase)
{
    return script("ae2read.py", {path}, passphrase + '\n');
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
    const auto output = readerOutput("zipcheck.py", u"--prefix"_s, prefix, path);
    if (!output)
        return std::nullopt;
    ArchiveContent content;
    for (const QByteArray &line : output->split('\n')) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() != 6)
            continue;
        content[decodeNativePath(fields[0])] = {fields[1].toLongLong(), fields[2],
                                                fields[3].toInt(), fields[4].toLongLong(),
                                                QString::fromLatin1(fields[5])};
    }
    return content;
}

StrictVerdict strictCheck(const QString &path, quint64 prefix)
{
    const Ran ran = script("zipstrict.py", {u"--prefix"_s, QString::number(prefix), path});
    const bool passed = ran.status == 0;
    return {passed, QString::fromUtf8(passed ? ran.output : ran.errors).trimmed()};
}

std::optional<ArchiveHeaders> readHeaders(const QString &path, quint64 prefix)
{
    const auto output = readerOutput("zipcheck.py", u"--headers"_s, prefix, path);
    if (!output)
        return std::nullopt;
    const QList<QByteArray> lines = output->split('\n');
    ArchiveHeaders headers{QString::fromUtf8(lines.value(0)), {}};
    for (const QByteArray &line : lines.mid(1)) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() == 4)
            headers.entries[decodeNativePath(fields[0])] = {
                fields[1].toULongLong(), fields[2].toULongLong(), fields[3].toULongLong()};
    }
    return headers;
}

std::optional<ArchiveContent> readEncryptedArchive(const QString &path,
                                                   const QByteArray &passphrase)
{
    const Ran read = reference(path, passphrase);
    if (read.status != 0) {
        ADD_FAILURE() << "the reference reader refused " << path.toStdString() << ": "
                      << read.errors.toStdString();
        return std::nullopt;
    }
    ArchiveContent content;
    for (const QByteArray &line : read.output.split('\n')) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() != 5)
            continue;
        const QString name = decodeNativePath(fields[0]);
        content[name] = {fields[1].toLongLong(), fields[2], fields[3].toInt(), 0};
        const QByteArray extracted = sevenZipDigest(path, name, passphrase);
        if (extracted != fields[2]) {
            ADD_FAILURE() << "7-Zip extracts " << name.toStdString() << " as "
                          << extracted.toStdString() << ", not " << fields[2].toStdString();
            return std::nullopt;
        }
    }
    return content;
}

Refusals refusedEntries(const QString &path, const QByteArray &passphrase)
{
    const Ran tested = runTool(u"7z"_s, {u"t"_s, u"-p"_s + QString::fromUtf8(passphrase), path});
    return {int((tested.output + tested.errors).count("Wrong password")),
            int(reference(path, passphrase).errors.count("bad entry: "))};
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
