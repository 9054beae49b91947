// The delivery stage alone, as a run does it (copy under a temporary name, read back and
// compared, moved to its name), timed by scripts/bench's smb case against `smbclient put`:
//     bench_deliver ARCHIVE FOLDER
// FOLDER is local or a share (smb://server:port/share/folder/); credentials as the program reads
// them. Exits 1 when the delivery reported an error.
#include "app/Program.h"
#include "app/Run.h"
#include "app/RunHost.h"
#include "archive/ArchiveDelivery.h"

#include <QCoreApplication>
#include <QDir>

#include <cstdio>

namespace {

class BenchHost : public RunHost {
public:
    explicit BenchHost(QString folder)
        : m_folder(std::move(folder))
    {
    }
    QString archiveFolderText() const override { return m_folder; }
    void setRunning(bool) override {}
    void setProgress(double, double, ProgressUnit) override {}
    void runLogOpened(const QString &) override {}
    void archiveDelivered(const QString &, qint64, qint64) override {}

private:
    QString m_folder;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_deliver ARCHIVE FOLDER\n");
        return 2;
    }
    Program::Parts parts;
    parts.executablePath = QDir::temp().filePath(QStringLiteral("bench_deliver/Sorvik"));
    QDir().mkpath(QDir::temp().filePath(QStringLiteral("bench_deliver")));
    Program program(std::move(parts));
    Run run(program);
    const QString log = QDir::temp().filePath(QStringLiteral("bench_deliver/run.TXT"));
    run.runLog().OpenRunLog(log);
    run.ZipFilePath = QString::fromLocal8Bit(argv[1]);
    run.ArchiveMade = true;
    BenchHost host(QString::fromLocal8Bit(argv[2]));
    CopyArchiveToTargetFolder(run, host);
    const int errors = run.runLog().ErrorCount();
    run.runLog().CloseRunLog();
    if (errors > 0)
        std::fprintf(stderr, "the delivery reported %d error(s); see %s\n", errors,
                     qPrintable(log));
    return errors > 0 ? 1 : 0;
}
