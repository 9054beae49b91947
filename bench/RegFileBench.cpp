// The registry-file parser on hostile shapes, one case per process so that measure.py's peak
// memory belongs to that case alone:
//     bench_regfile make deep|keys FILE   writes a 32,000-deep key (64 KB) or ~100 MB of keys
//     bench_regfile parse FILE            reads the whole file and parses it (no size cap)
//     bench_regfile open FILE             opens a key through the registry (SORVIK_REGISTRY=FILE)
#include "platform/posix/RegFile.h"

#include <QFile>

#include <cstdio>
#include <cstring>

namespace {

QByteArray deepKey()
{
    return "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE" +
           QByteArray("\\a").repeated(32000) + "]\r\n\"Name\"=\"deep\"\r\n";
}

QByteArray manyKeys()
{
    QByteArray text = "Windows Registry Editor Version 5.00\r\n\r\n";
    for (int i = 0; text.size() < 100 * 1000 * 1000; ++i) {
        const QByteArray n = QByteArray::number(i);
        text += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quenvo\\Bench\\Group" + QByteArray::number(i % 97) +
                "\\Key" + n + "]\r\n\"Name\"=\"value number " + n + "\"\r\n\"Number\"=dword:0000" +
                QByteArray::number(i % 0xFFFF, 16) +
                "\r\n\"Blob\"=hex:01,02,03,04,05,06,07,08,\\\r\n  09,0a,0b,0c\r\n\r\n";
    }
    return text;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && std::strcmp(argv[1], "make") == 0) {
        QFile file(QString::fromLocal8Bit(argv[3]));
        const bool deep = std::strcmp(argv[2], "deep") == 0;
        if (!file.open(QIODevice::WriteOnly) || file.write(deep ? deepKey() : manyKeys()) < 0)
            return 1;
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "parse") == 0) {
        QFile file(QString::fromLocal8Bit(argv[2]));
        if (!file.open(QIODevice::ReadOnly))
            return 1;
        const RegFile hive = RegFile::parse(file.readAll());
        const bool found = hive.key(RegistryRoot::LocalMachine, QStringLiteral("a\\a\\a")) ||
                           hive.key(RegistryRoot::LocalMachine, QStringLiteral("SOFTWARE\\Quenvo"));
        std::printf("keys %lld, ancestor found %d\n", static_cast<long long>(hive.keyCount()),
                    int(found));
        return found ? 0 : 2;
    }
    if (argc == 3 && std::strcmp(argv[1], "open") == 0) {
        qputenv("SORVIK_REGISTRY", argv[2]);
        const auto key = makeRegistry()->openKey(RegistryRoot::LocalMachine, QStringLiteral("a"));
        std::printf("key %s\n", key ? "found" : "missing");
        return 0;
    }
    std::fprintf(stderr, "usage: bench_regfile make deep|keys FILE | parse FILE | open FILE\n");
    return 1;
}
