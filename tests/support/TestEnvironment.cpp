#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>

QString builtFile(const QString &name) {
    return QStringLiteral(SORVIK_BIN_DIR "/") + name;
}

void TempEnvironment::SetUp() {
    ASSERT_TRUE(m_root.isValid());
    const QByteArray root = QFile::encodeName(m_root.path());
    const std::pair<const char *, QByteArray> variables[] = {
        {"HOME", root + "/home"},
        {"XDG_CONFIG_HOME", root + "/config"},
        {"SORVIK_REGISTRY", root + "/registry.reg"},
        {"SORVIK_CRON_DIR", root + "/cron.d"},
        {"TMPDIR", root + "/tmp"},
    };
    for (const auto &[name, value] : variables) {
        m_savedEnvironment.emplace_back(name, qgetenv(name));
        qputenv(name, value);
        QDir().mkpath(QFile::decodeName(value));
    }
    QFile::remove(registryPath()); // mkpath made a folder of it: the file is the test's to write
    QDir().rmdir(registryPath());
}

void TempEnvironment::TearDown() {
    for (const auto &[name, value] : m_savedEnvironment) {
        if (value.isNull())
            qunsetenv(name.constData());
        else
            qputenv(name.constData(), value);
    }
}

void TempEnvironment::writeFile(const QString &relative, const QByteArray &content) const {
    const QString full = path(relative);
    QDir().mkpath(QFileInfo(full).absolutePath());
    QFile file(full);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(content), content.size());
}

QByteArray TempEnvironment::readFile(const QString &relative) const {
    QFile file(path(relative));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void TempEnvironment::writeRegistry(const QByteArray &content) const {
    writeFile(QStringLiteral("registry.reg"), content);
}

void TempEnvironment::writeServedProduct(quint32 versionNumber, bool components) const {
    QByteArray reg = "Windows Registry Editor Version 5.00\r\n\r\n";
    if (components) {
        const QByteArray library =
            QFile::encodeName(builtFile(QStringLiteral("libOrvelComponents.so")));
        reg +=
            "[HKEY_CLASSES_ROOT\\CLSID\\{60EB7702-6A7A-11D1-8029-00C04FAD610B}\\InprocServer32]\r\n"
            "@=\"" +
            library + "\"\r\n\r\n";
    }
    reg += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quenvo\\QuenvoLogMgr\\1.0]\r\n"
           "\"Output Path\"=\"" +
           QFile::encodeName(path(QStringLiteral("orvel-logs"))) +
           "\"\r\n\r\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quenvo]\r\n"
           "\"Version Number\"=dword:" +
           QByteArray::number(versionNumber, 16).rightJustified(8, '0') +
           "\r\n\"Build Number\"=dword:00010034\r\n";
    writeRegistry(reg);
    QDir().mkpath(path(QStringLiteral("orvel-logs")));
}

std::unique_ptr<Program> TempEnvironment::makeProgram(const QString &programFolder) {
    QDir().mkpath(path(programFolder));
    Program::Parts parts;
    parts.executablePath = path(programFolder + QStringLiteral("/Sorvik"));
    parts.interactiveDialogs = &dialogs;
    parts.terminator = [](int status) { throw ProgramEnded{status}; };
    return std::make_unique<Program>(std::move(parts));
}
