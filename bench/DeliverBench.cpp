// The delivery stage alone, as a run does it (copy under a temporary name, read back and
// compared, moved to its name), timed by scripts/bench's smb case against `smbclient put`:
//     bench_deliver [--copy-only] ARCHIVE FOLDER
// FOLDER is local or a share (smb://server:port/share/folder/); credentials as the program reads
// them. --copy-only: the transfer alone (the file-system layer's copy, no read-back, no move).
// Exits 1 when the delivery reported an error.
#include "app/Program.h"
#include "app/Run.h"
#include "app/RunHost.h"
#include "archive/ArchiveDelivery.h"

#include <QCoreApplication>
#include <QDir>

#include <cstdio>
#include <cstring>

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
    void archiveDelivered(const QString &, qint64) override {}

private:
    QString m_folder;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const bool copyOnly = argc == 4 && std::strcmp(argv[1], "--copy-only") == 0;
    if (argc != 3 && !copyOnly) {
        std::fprintf(stderr, "usage: bench_deliver [--copy-only] ARCHIVE FOLDER\n");
        return 2;
    }
    if (copyOnly) {
        const auto fs = makeFileSystem();
        const QString source = QString::fromLocal8Bit(argv[2]);
        fs->CopyFile(source, QString::fromLocal8Bit(argv[3]) + fs->GetFileName(source), false);
        return 0;
    }
    Program::Parts parts;
    parts.executablePath = QDir::temp().filePath(QStringLiteral("bench_deliver/Sorvik"));
    QDir().mkpath(QDir::temp().filePath(QStringLiteral("bench_deliver")));
    Program program(std::move(parts));
    Run run(program);
    const QString log = QDir::temp().filePath(QStringLiteral("bench_deliver/run.TXT"));
    run.runLog().OpenRunLog(log);
    run.ZipFilePath = QString::fromLocal8Bit(argv[1]);
    BenchHost host(QString::fromLocal8Bit(argv[2]));
    CopyArchiveToTargetFolder(run, host);
    const int errors = run.runLog().ErrorCount();
    run.runLog().CloseRunLog();
    if (errors > 0)
        std::fprintf(stderr, "the delivery reported %d error(s); see %s\n", errors,
                     qPrintable(log));
    return errors > 0 ? 1 : 0;
}
