#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QSettings>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>

#include <unistd.h>

#include <sys/prctl.h>
#include <sys/resource.h>

QString builtFile(const QString &name)
{
    return QStringLiteral(SORVIK_BIN_DIR "/") + name;
}

namespace {
const QString rootPrefix = u"sorvik-tests-"_s;
QString &rootPath()
{
    static QString path;
    return path;
}
} // namespace

QString testRoot()
{
    return rootPath();
}

void makeTestRoot()
{
    const QDir temp(QDir::tempPath());
    // What test programs killed before their end left behind, and nobody else uses any more.
    for (const QString &name : temp.entryList({rootPrefix + u"*"_s}, QDir::Dirs | QDir::Hidden)) {
        bool number = false;
        const qint64 pid = name.mid(rootPrefix.size()).toLongLong(&number);
        if (number && pid > 0 && ::kill(pid_t(pid), 0) != 0 && errno == ESRCH)
            QDir(temp.filePath(name)).removeRecursively();
    }
    rootPath() = temp.filePath(rootPrefix + QString::number(::getpid()));
    QDir(rootPath()).removeRecursively();
    QDir().mkpath(rootPath());
    QFile::setPermissions(rootPath(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    std::atexit([] { QDir(rootPath()).removeRecursively(); });
}

void ownedByTest(QProcess &process)
{
    process.setChildProcessModifier([] {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    });
}

std::vector<pid_t> childrenNamed(const QByteArray &name)
{
    std::vector<pid_t> found;
    for (const QString &pid : QDir(u"/proc"_s).entryList(QDir::Dirs)) {
        QFile stat(u"/proc/"_s + pid + u"/stat"_s);
        const auto f =
            stat.open(QIODevice::ReadOnly) ? stat.readAll().split(' ') : QByteArrayList();
        if (f.size() > 3 && f[1].startsWith("(" + name) && f[2] != "Z" &&
            f[3].toInt() == ::getpid())
            found.push_back(pid.toInt());
    }
    return found;
}

void underFileSizeLimit(quint64 bytes, const std::function<void()> &step)
{
    const auto handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit capped = saved;
    capped.rlim_cur = rlim_t(bytes);
    const auto lifted = qScopeGuard([&] {
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, handler);
    });
    EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &capped), 0);
    step();
}

Ran runTool(const QString &program, const QStringList &arguments, const QByteArray &input,
            const std::function<void(QProcess &)> &reading)
{
    QProcess process;
    process.start(program, arguments);
    process.write(input);
    process.closeWriteChannel();
    if (reading)
        reading(process);
    // A tool that never started is no tool that passed.
    if (process.error() == QProcess::FailedToStart ||
        (process.state() != QProcess::NotRunning && !process.waitForFinished(600000)) ||
        process.exitStatus() != QProcess::NormalExit)
        return {};
    return {process.exitCode(), process.readAllStandardOutput(), process.readAllStandardError()};
}

Ran runScript(const QString &script, const QStringList &arguments, const QByteArray &input)
{
    return runTool(u"python3"_s,
                   QStringList{u"" SORVIK_SOURCE_DIR "/tests/"_s + script} + arguments, input);
}

void TempEnvironment::SetUp()
{
    for (char **entry = environ; *entry; ++entry)
        m_savedEnvironment.emplace_back(*entry);
    ASSERT_TRUE(m_root.isValid());
    const QByteArray root = QFile::encodeName(m_root.path());
    const std::pair<const char *, QByteArray> variables[] = {
        {"HOME", root + "/home"},
        {"XDG_CONFIG_HOME", root + "/config"},
        {"SORVIK_REGISTRY", root + "/registry.reg"},
        {"SORVIK_CRON_DIR", root + "/cron.d"},
        {"SORVIK_SYSCONFDIR", root + "/etc"}, // no computer's settings unless a test writes them
        {"TMPDIR", root + "/tmp"},
        {"XDG_STATE_HOME", root + "/state"},
        {"SORVIK_METRICS_DIR", QByteArray()}, // unset: no metrics unless a test asks
        {"SORVIK_SYSLOG_SOCKET", QByteArray()},
    };
    for (const auto &[name, value] : variables) {
        if (value.isEmpty()) {
            qunsetenv(name);
            continue;
        }
        qputenv(name, value);
        QDir().mkpath(QFile::decodeName(value));
    }
    // The settings store reads XDG_CONFIG_HOME once per process; every test has its own.
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope,
                       QFile::decodeName(root + "/config"));
    QFile::remove(registryPath()); // mkpath made a folder of it: the file is the test's to write
    QDir().rmdir(registryPath());
}

void TempEnvironment::TearDown()
{
    // What the test added or changed goes; what it changed or removed comes back.
    std::vector<QByteArray> changed;
    for (char **entry = environ; *entry; ++entry)
        if (std::find(m_savedEnvironment.begin(), m_savedEnvironment.end(), *entry) ==
            m_savedEnvironment.end())
            changed.push_back(QByteArray(*entry).split('=').first());
    for (const QByteArray &name : changed)
        qunsetenv(name.constData());
    for (const QByteArray &entry : m_savedEnvironment) {
        const QByteArray name = entry.left(entry.indexOf('='));
        if (!qEnvironmentVariableIsSet(name.constData()))
            qputenv(name.constData(), entry.mid(name.size() + 1));
    }
}

void TempEnvironment::writeFile(QAnyStringView relative, const QByteArray &content) const
{
    const QString full = path(relative);
    QDir().mkpath(QFileInfo(full).absolutePath());
    QFile file(full);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(content), content.size());
}

QByteArray TempEnvironment::readFile(QAnyStringView relative) const
{
    QFile file(path(relative));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void TempEnvironment::simulate(const QStringList &arguments) const
{
    const Ran sim =
        runTool(builtFile(u"orvel-sim"_s), QStringList{u"--root"_s, path("orvel")} + arguments);
    ASSERT_EQ(sim.status, 0) << sim.errors.toStdString();
    qputenv("SORVIK_REGISTRY", QFile::encodeName(path("orvel/registry.reg")));
}

void TempEnvironment::writeRegistry(const QByteArray &content) const
{
    writeFile("registry.reg", content);
}

void TempEnvironment::writeServedProduct(quint32 versionNumber, bool components) const
{
    QByteArray reg = "Windows Registry Editor Version 5.00\r\n\r\n";
    if (components) {
        const QByteArray library = QFile::encodeName(builtFile(u"libOrvelComponents.so"_s));
        for (const char *clsid :
             {"{60EB7702-6A7A-11D1-8029-00C04FAD610B}", "{CA877C14-DCEE-459B-89B7-7A9E841558D5}"})
            reg += QByteArray("[HKEY_CLASSES_ROOT\\CLSID\\") + clsid + "\\InprocServer32]\r\n@=\"" +
                   library + "\"\r\n\r\n";
    }
    reg += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quenvo\\QuenvoLogMgr\\1.0]\r\n"
           "\"Output Path\"=\"" +
           QFile::encodeName(path("orvel-logs")) +
           "\"\r\n\r\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quenvo]\r\n"
           "\"Version Number\"=dword:" +
           QByteArray::number(versionNumber, 16).rightJustified(8, '0') +
           "\r\n\"Build Number\"=dword:00010034\r\n";
    writeRegistry(reg);
    QDir().mkpath(path("orvel-logs"));
}

std::unique_ptr<Program> TempEnvironment::makeProgram(const QString &programFolder,
                                                      std::unique_ptr<FileSystem> fileSystem)
{
    QDir().mkpath(path(programFolder));
    Program::Parts parts;
    parts.executablePath = path(programFolder + u"/Sorvik"_s);
    parts.interactiveDialogs = interactiveDialogs;
    parts.terminator = [](int status) { throw ProgramEnded{status}; };
    parts.start = StartFacts{QDateTime::currentDateTime(), false};
    parts.launcher = &launcher;
    parts.clock = [this] { return clockTime; };
    parts.workstationSource = workstation;
    parts.fileSystem = std::move(fileSystem);
    return std::make_unique<Program>(std::move(parts));
}

std::unique_ptr<::Run> TempEnvironment::makeRun(const QString &programFolder,
                                                std::unique_ptr<FileSystem> fileSystem)
{
    m_programsOfRuns.push_back(makeProgram(programFolder, std::move(fileSystem)));
    return std::make_unique<::Run>(*m_programsOfRuns.back());
}

QStringList runLogLines(const QByteArray &bytes)
{
    EXPECT_TRUE(bytes.startsWith("\xFF\xFE")) << "no byte-order mark";
    if (!bytes.startsWith("\xFF\xFE") || bytes.size() % 2 != 0)
        return {};
    const QString text = QString::fromUtf16(
        reinterpret_cast<const char16_t *>(bytes.constData() + 2), (bytes.size() - 2) / 2);
    EXPECT_TRUE(text.endsWith(QLatin1String("\r\n")));
    QStringList lines = text.split(QLatin1String("\r\n"));
    lines.removeLast();
    return lines;
}

void storeArchiveFolder(const QString &folder)
{
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, u"Sorvik"_s, u"Sorvik"_s);
    settings.setValue(u"frmMain/ArchiveFolderPath"_s, folder);
}

QStringList runLogEvents(const QByteArray &bytes)
{
    QStringList lines = runLogLines(bytes).mid(7);
    for (QString &line : lines)
        line = line.mid(line.indexOf(u": "_s) + 2);
    return lines;
}
