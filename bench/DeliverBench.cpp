// The delivery stage alone, as a run does it (copy under a temporary name, read back and
// compared, moved to its name), timed by scripts/bench's smb case against `smbclient put`:
//     bench_deliver ARCHIVE FOLDER
// FOLDER is local or a share (smb://server:port/share/folder/); credentials as the program reads
// them. Exits 1 when the delivery reported an error.
#include "app/Program.h"
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
    void setArchiveFolderText(const QString &text) override { m_folder = text; }
    void setWaitPointer(bool) override {}
    void setRunning(bool) override {}
    bool isRunning() const override { return true; }
    void setProgress(double, double, ProgressUnit) override {}
    void showRunLog(const QString &) override {}
    bool waitForRunEnd(std::chrono::milliseconds) override { return true; }

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
    const QString log = QDir::temp().filePath(QStringLiteral("bench_deliver/run.TXT"));
    program.runLog().OpenRunLog(log);
    program.ZipFilePath = QString::fromLocal8Bit(argv[1]);
    BenchHost host(QString::fromLocal8Bit(argv[2]));
    CopyArchiveToTargetFolder(program, host);
    const int errors = program.runLog().ErrorCount();
    program.runLog().CloseRunLog();
    if (errors > 0)
        std::fprintf(stderr, "the delivery reported %d error(s); see %s\n", errors,
                     qPrintable(log));
    return errors > 0 ? 1 : 0;
}
