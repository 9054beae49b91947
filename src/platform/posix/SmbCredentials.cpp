#include "platform/posix/SmbCredentials.h"

#include "platform/FileSystem.h"
#include "platform/PrivateFile.h"

#include <QDir>

#include <cerrno>

namespace {

// A credentials file is a few lines; anything larger is not one.
constexpr qsizetype maximumSize = 64 * 1024;

void wipe(QByteArray &secret)
{
    if (!secret.isEmpty() && !secret.isDetached())
        return; // shared with another copy, which wipes it when it goes
    volatile char *bytes = secret.data();
    for (qsizetype i = 0; i < secret.size(); ++i)
        bytes[i] = 0;
}

[[noreturn]] void refuse(int error, const QString &why)
{
    throw FileSystemError(error, QStringLiteral("Cannot use the credentials file"),
                          SmbCredentials::filePath(), why);
}

} // namespace

SmbCredentials::~SmbCredentials()
{
    wipe(password);
}

QString SmbCredentials::filePath()
{
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || !QDir::isAbsolutePath(config))
        config = QDir::homePath() + QStringLiteral("/.config");
    return config + QStringLiteral("/Sorvik/smb-credentials");
}

SmbCredentials SmbCredentials::load()
{
    QByteArray text;
    try {
        text = readPrivateFile(filePath(), QStringLiteral("SMB credentials file"), maximumSize);
    } catch (const Failure &refused) {
        if (refused.number() == ENOENT)
            return SmbCredentials();
        throw FileSystemError(refused);
    }
    SmbCredentials credentials = parse(text);
    wipe(text);
    if (credentials.user.isEmpty())
        refuse(EINVAL, QStringLiteral("it names no user (a line username=...)"));
    return credentials;
}

SmbCredentials SmbCredentials::parse(const QByteArray &text)
{
    SmbCredentials credentials;
    credentials.kind = Kind::File;
    // Read through views of the text: the password's line is copied nowhere but into the
    // credentials, whose copy is wiped (the caller wipes the text).
    const QByteArrayView all(text);
    for (qsizetype start = 0; start < all.size();) {
        qsizetype end = all.indexOf('\n', start);
        if (end < 0)
            end = all.size();
        QByteArrayView line = all.sliced(start, end - start);
        start = end + 1;
        if (line.endsWith('\r'))
            line.chop(1);
        const QByteArrayView trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith('#'))
            continue;
        const qsizetype equals = line.indexOf('=');
        if (equals < 0)
            continue;
        const QByteArray key = line.first(equals).trimmed().toByteArray().toLower();
        // The value as written: a password may begin or end with blanks.
        const QByteArrayView value = line.sliced(equals + 1);
        if (key == "username" || key == "user") {
            // mount.cifs also takes the domain in front of the name.
            QByteArrayView user = value.trimmed();
            const qsizetype slash = user.indexOf('/') >= 0 ? user.indexOf('/') : user.indexOf('\\');
            if (slash > 0) {
                credentials.domain = user.first(slash).toByteArray();
                user = user.sliced(slash + 1);
            }
            credentials.user = user.toByteArray();
        } else if (key == "password" || key == "pass") {
            wipe(credentials.password);
            credentials.password = value.toByteArray();
            credentials.passwordGiven = true;
        } else if (key == "domain" || key == "dom" || key == "workgroup") {
            credentials.domain = value.trimmed().toByteArray();
        }
    }
    return credentials;
}

QString SmbCredentials::likelySlip() const
{
    const QString file = filePath();
    if (kind == Kind::KerberosOrGuest)
        return QStringLiteral("there is no credentials file %1, so a Kerberos ticket or the "
                              "server's guest access was tried")
            .arg(file);
    if (!passwordGiven)
        return QStringLiteral("the credentials file %1 has no password= line").arg(file);
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    if (!password.isEmpty() && (blank(password.front()) || blank(password.back())))
        return QStringLiteral("the password in the credentials file %1 begins or ends with a "
                              "blank, which counts as part of it: write password=... without "
                              "blanks around it")
            .arg(file);
    return QString();
}
