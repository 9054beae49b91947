#include "support/ArchiveReader.h"

#include "platform/FileSystem.h"

#include <QCryptographicHash>
#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;

std::optional<ArchiveContent> readArchive(const QString &path, quint64 prefix)
{
    QProcess python;
    python.start(u"python3"_s, {QStringLiteral(SORVIK_SOURCE_DIR "/tests/support/zipcheck.py"),
                                u"--prefix"_s, QString::number(prefix), path});
    if (!python.waitForFinished(600000) || python.exitStatus() != QProcess::NormalExit ||
        python.exitCode() != 0) {
        ADD_FAILURE() << "the reader refused " << path.toStdString() << ": "
                      << python.readAllStandardError().toStdString();
        return std::nullopt;
    }
    ArchiveContent content;
    for (const QByteArray &line : python.readAllStandardOutput().split('\n')) {
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
    QProcess python;
    python.start(u"python3"_s, {QStringLiteral(SORVIK_SOURCE_DIR "/tests/support/zipstrict.py"),
                                u"--prefix"_s, QString::number(prefix), path});
    const bool ran = python.waitForFinished(600000) && python.exitStatus() == QProcess::NormalExit;
    const bool passed = ran && python.exitCode() == 0;
    return {passed, QString::fromUtf8(passed ? python.readAllStandardOutput()
                                             : python.readAllStandardError())
                        .trimmed()};
}

std::optional<ArchiveHeaders> readHeaders(const QString &path, quint64 prefix)
{
    QProcess python;
    python.start(u"python3"_s, {QStringLiteral(SORVIK_SOURCE_DIR "/tests/support/zipcheck.py"),
                                u"--headers"_s, QString::number(prefix), path});
    if (!python.waitForFinished(600000) || python.exitStatus() != QProcess::NormalExit ||
        python.exitCode() != 0) {
        ADD_FAILURE() << "the reader refused " << path.toStdString() << ": "
                      << python.readAllStandardError().toStdString();
        return std::nullopt;
    }
    const QList<QByteArray> lines = python.readAllStandardOutput().split('\n');
    ArchiveHeaders headers{QString::fromUtf8(lines.value(0)), {}};
    for (const QByteArray &line : lines.mid(1)) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() == 4)
            headers.entries[decodeNativePath(fields[0])] = {
                fields[1].toULongLong(), fields[2].toULongLong(), fields[3].toULongLong()};
    }
    return headers;
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
