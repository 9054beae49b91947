#include "platform/posix/SmbContext.h"

#include "platform/FileSystem.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

namespace {

// Enough for libsmbclient to tell us why a logon failed, and nothing of what it sends.
constexpr int messageLevel = 3;

void copyInto(char *buffer, int length, const QByteArray &value)
{
    if (length <= 0)
        return;
    const size_t n = std::min(size_t(length - 1), size_t(value.size()));
    std::memcpy(buffer, value.constData(), n);
    buffer[n] = '\0';
}

// A setting of the environment as a whole number from `least` to `most`; nothing where it is not
// set, and 0 where it is set to anything else.
std::optional<int> setting(const char *name, int least, int most)
{
    if (!qEnvironmentVariableIsSet(name))
        return std::nullopt;
    // Decimal digits only: the toolkit's own reading takes "010" for 8 and "0x1" for 1.
    const QByteArray text = qgetenv(name);
    bool number = !text.isEmpty() && std::all_of(text.cbegin(), text.cend(),
                                                 [](char c) { return c >= '0' && c <= '9'; });
    const int value = number ? text.toInt(&number, 10) : 0;
    return number && value >= least && value <= most ? value : 0;
}

constexpr int longestTimeout = 24 * 3600;

// A mistyped setting is refused, not passed over: the run would wait or call where the
// administrator did not mean it to, and say nothing of why.
QString settingSlip()
{
    const auto said = [](const char *name, const char *what) {
        return QStringLiteral("%1 is \"%2\", not %3")
            .arg(QLatin1String(name), qEnvironmentVariable(name), QLatin1String(what));
    };
    if (setting("SORVIK_SMB_TIMEOUT", 1, longestTimeout) == 0)
        return said("SORVIK_SMB_TIMEOUT", "a whole number of seconds from 1 to 86400");
    if (setting("SORVIK_SMB_PORT", 1, 65535) == 0)
        return said("SORVIK_SMB_PORT", "a port number from 1 to 65535");
    return {};
}

QString words(int error)
{
    switch (error) {
    case ECONNREFUSED:
        return QStringLiteral("the server refused the connection (nothing answers on its port)");
    case ETIMEDOUT:
    case EAGAIN:
        return QStringLiteral("the server did not answer within %1 seconds")
            .arg(SmbContext::timeoutSeconds());
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EHOSTDOWN:
        return QStringLiteral("the server cannot be reached");
    case ECONNRESET:
    case ECONNABORTED:
    case ENETRESET:
    case ENETDOWN:
    case ESHUTDOWN:
    case EPIPE:
    case ENOTCONN:
    case EIO:
        return QStringLiteral("the connection to the server was lost");
    case ENOSPC:
    case EDQUOT:
        return QStringLiteral("the share is full (no space left)");
    case EACCES:
    case EPERM:
        return QStringLiteral("access denied");
    case EBUSY:
        return QStringLiteral("the file is in use");
    case EEXIST:
        return QStringLiteral("a file of that name is already there");
    case ENOENT:
        return QStringLiteral("no such file or folder");
    case ENOTDIR:
        return QStringLiteral("a name on the way is not a folder");
    case ECANCELED:
        return QStringLiteral("stopped on request");
    default:
        return QString::fromLocal8Bit(std::strerror(error));
    }
}

// Why the last logon failed, as libsmbclient said it. Its message callback is one for the whole
// process; it is only called inside the library, under lock().
QString &logonFailure()
{
    static QString text;
    return text;
}

} // namespace

SmbContext::SmbContext() = default;

SmbContext::~SmbContext()
{
    if (m_context) {
        const auto guard = lock();
        smbc_free_context(m_context, 1);
    }
}

std::unique_lock<std::mutex> SmbContext::lock()
{
    static std::mutex library;
    return std::unique_lock(library);
}

int SmbContext::timeoutSeconds()
{
    const int seconds = setting("SORVIK_SMB_TIMEOUT", 1, longestTimeout).value_or(0);
    return seconds > 0 ? seconds : 30;
}

SMBCCTX *SmbContext::ready(const QString &path)
{
    logonFailure().clear();
    if (const QString slip = settingSlip(); !slip.isEmpty())
        throw FileSystemError(EINVAL, QStringLiteral("Cannot reach"), path, slip);
    SmbCredentials credentials = SmbCredentials::load();
    if (m_context && m_applied && credentials == m_credentials)
        return m_context;
    if (!m_context) {
        if (const QString &failure = SmbLibrary::open(); !failure.isEmpty())
            throw FileSystemError(ENOENT, QStringLiteral("Cannot reach"), path, failure);
        m_context = smbc_new_context();
        if (!m_context)
            throw FileSystemError(ENOMEM, QStringLiteral("Cannot reach"), path,
                                  QStringLiteral("the SMB client library could not start"));
        smbc_setDebug(m_context, messageLevel);
        smbc_setLogCallback(m_context, nullptr, &SmbContext::keepMessage);
        smbc_setOptionUserData(m_context, this);
        smbc_setFunctionAuthDataWithContext(m_context, &SmbContext::supplyLogon);
        smbc_setTimeout(m_context, timeoutSeconds() * 1000);
        // Where a path names no port (\\server\share): 445 unless a server listens elsewhere.
        if (const auto port = setting("SORVIK_SMB_PORT", 1, 65535))
            smbc_setPort(m_context, quint16(*port));
        if (!smbc_init_context(m_context)) {
            const int error = errno;
            smbc_free_context(m_context, 1);
            m_context = nullptr;
            throw FileSystemError(error, QStringLiteral("Cannot reach"), path,
                                  QStringLiteral("the SMB client library could not start"));
        }
    } else {
        // Connections made as another account are not reused.
        smbc_getFunctionPurgeCachedServers(m_context)(m_context);
    }
    m_credentials = credentials;
    const bool file = credentials.kind == SmbCredentials::Kind::File;
    smbc_setOptionUseKerberos(m_context, !file);
    smbc_setOptionFallbackAfterKerberos(m_context, !file);
    smbc_setOptionUseCCache(m_context, !file);
    // A logon with the file's account that fails must say so, not carry on anonymously; without
    // the file the anonymous logon is how the server's guest access is reached.
    smbc_setOptionNoAutoAnonymousLogin(m_context, file);
    m_applied = true;
    return m_context;
}

void SmbContext::supplyLogon(SMBCCTX *context, const char *, const char *, char *workgroup,
                             int workgroupLength, char *user, int userLength, char *password,
                             int passwordLength)
{
    auto *self = static_cast<SmbContext *>(smbc_getOptionUserData(context));
    const SmbCredentials &credentials = self->m_credentials;
    if (credentials.kind == SmbCredentials::Kind::File) {
        if (!credentials.domain.isEmpty())
            copyInto(workgroup, workgroupLength, credentials.domain);
        copyInto(user, userLength, credentials.user);
        copyInto(password, passwordLength, credentials.password);
    } else {
        // The ticket's own name where there is one; otherwise the server's guest account.
        copyInto(user, userLength, QByteArrayLiteral("guest"));
        copyInto(password, passwordLength, QByteArray());
    }
}

void SmbContext::keepMessage(void *, int level, const char *message)
{
    // Only why a logon failed is kept ("SPNEGO login failed: <the server's reason>").
    static const char marker[] = "login failed: ";
    const char *found = level <= messageLevel ? std::strstr(message, marker) : nullptr;
    if (found)
        logonFailure() = QString::fromUtf8(found + sizeof marker - 1).trimmed();
}

QString SmbContext::reason(int error, const SmbPath &place)
{
    QString text = words(error);
    const QString logon = std::exchange(logonFailure(), QString());
    if ((error == EACCES || error == EPERM) && !logon.isEmpty()) {
        text = QStringLiteral("the logon was refused: %1").arg(logon);
        // What the server cannot tell: which of the usual slips in the account's set-up it was.
        const QString slip = m_credentials.likelySlip();
        if (!slip.isEmpty())
            text += QStringLiteral(" (") + slip + QLatin1Char(')');
    } else if (error == ENOENT && m_context) {
        // The server answered: is it the share that is missing, or a name below it?
        struct stat st;
        if (smbc_getFunctionStat(m_context)(m_context, place.shareRoot().url().constData(), &st) !=
                0 &&
            errno == ENOENT)
            text = QStringLiteral("there is no such share");
        logonFailure().clear();
    }
    return place.where() + QStringLiteral(": ") + text;
}

void SmbContext::fail(const QString &action, int error, const SmbPath &place)
{
    throw SmbFailure{error, action, reason(error, place)};
}

void SmbContext::failToMake(const QString &action, int error, const SmbPath &place)
{
    struct stat folder;
    if (error == ENOENT &&
        smbc_getFunctionStat(m_context)(m_context, place.parent().url().constData(), &folder) ==
            0 &&
        S_ISDIR(folder.st_mode))
        throw SmbFailure{error, action,
                         place.where() +
                             QStringLiteral(": the server makes no file of that name, though its "
                                            "folder is there (is something at that name on the "
                                            "server, such as a link that leads nowhere?)")};
    fail(action, error, place);
}
