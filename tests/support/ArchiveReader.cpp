#include "support/ArchiveReader.h"

#include "platform/FileSystem.h"

#include <QCryptographicHash>
#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;

std::optional<ArchiveContent> readArchive(const QString &path)
{
    QProcess python;
    python.start(u"python3"_s,
                 {QStringLiteral(SORVIK_SOURCE_DIR "/tests/support/zipcheck.py"), path});
    if (!python.waitForFinished(600000) || python.exitStatus() != QProcess::NormalExit ||
        python.exitCode() != 0) {
        ADD_FAILURE() << "the reader refused " << path.toStdString() << ": "
                      << python.readAllStandardError().toStdString();
        return std::nullopt;
    }
    ArchiveContent content;
    for (const QByteArray &line : python.readAllStandardOutput().split('\n')) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() != 5)
            continue;
        content[decodeNativePath(fields[0])] = {fields[1].toLongLong(), fields[2],
                                                fields[3].toInt(), fields[4].toLongLong()};
    }
    return content;
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
