// How fast raw diagnostic logs become readable copies: strFormatDiagFile over the diag_ files of
// a logging folder, through the served product's formatter, on one thread: the speed of one of a
// run's formatting workers.
//
//   bench_format LOGGING_FOLDER WORK_FOLDER
#include "app/Program.h"
#include "app/Run.h"
#include "archive/DiagFormatting.h"
#include "common/Failure.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_format LOGGING_FOLDER WORK_FOLDER\n");
        return 2;
    }
    const QString logs = QString::fromLocal8Bit(argv[1]);
    const QString work = QString::fromLocal8Bit(argv[2]);
    QDir().mkpath(work);
    Program::Parts parts;
    parts.executablePath = work + QStringLiteral("/Sorvik");
    Program program(std::move(parts));
    Run run(program);

    try {
        run.diagLineFormatter();
    } catch (const Failure &failure) {
        std::fprintf(stderr, "bench_format: %s (set SORVIK_REGISTRY)\n",
                     qPrintable(failure.description()));
        return 1;
    }

    qint64 bytes = 0;
    QElapsedTimer timer;
    timer.start();
    for (const QFileInfo &raw : QDir(logs).entryInfoList({QStringLiteral("diag_*")}, QDir::Files)) {
        const QString copy = work + QLatin1Char('/') + raw.fileName() + QStringLiteral(".fmtd.txt");
        if (!strFormatDiagFile(run, raw.filePath(), copy)) {
            std::fprintf(stderr, "bench_format: %s was not formatted\n",
                         qPrintable(raw.filePath()));
            return 1;
        }
        bytes += raw.size();
        QFile::remove(copy);
    }
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    std::printf("formatting: %.1f MiB in %.2f s, %.1f MiB/s\n", double(bytes) / (1 << 20), seconds,
                double(bytes) / (1 << 20) / seconds);
    return 0;
}
