// How fast raw diagnostic logs become readable copies, and what that adds to a run's CPU time: the
// diag_ files of a logging folder formatted as a run formats them (FormattingAhead: a worker and
// a formatter helper a core, small files many to a round trip, copies up to 1 MiB in memory),
// taken in file order.
//
//   bench_format LOGGING_FOLDER WORK_FOLDER
#include "app/LoggingFolder.h"
#include "app/Program.h"
#include "app/Run.h"
#include "archive/FormattingAhead.h"
#include "common/Failure.h"
#include "platform/FileSystem.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <cstdio>

int main(int argc, char **argv)
{
    // As the program names it (see main.cpp): without TZ every file's time stamp in the listing
    // would look at /etc/localtime again, a cost the program does not have.
    if (!qEnvironmentVariableIsSet("TZ"))
        qputenv("TZ", ":/etc/localtime");
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
    const Folder folder = run.fileSystem().GetFolder(logs);
    std::vector<const File *> raws;
    for (const File &file : folder.Files)
        if (logKindOf(file.Name()) == LogKind::Diag)
            raws.push_back(&file);
    FormattingAhead formatting(run, raws, work, 1 << 20, false);
    for (const File *raw : raws) {
        const DiagFormatOutcome outcome = formatting.takeNext([] {});
        if (!outcome.formatted) {
            std::fprintf(stderr, "bench_format: %s was not formatted\n", qPrintable(raw->Path()));
            return 1;
        }
        bytes += raw->Size();
        if (!outcome.copy)
            QFile::remove(FormattingAhead::copyPath(work, raw->Name()));
    }
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    std::printf("formatting: %.1f MiB in %.2f s, %.1f MiB/s\n", double(bytes) / (1 << 20), seconds,
                double(bytes) / (1 << 20) / seconds);
    return 0;
}
