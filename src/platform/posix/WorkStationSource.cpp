#include "platform/WorkStationInfo.h"

#include <QStringList>

#include <limits.h>
#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <utmpx.h>

// The facts POSIX has: the host name (up to its first dot, the rest or the NIS domain as the
// domain), the kernel release as the version, the utmp sessions as the logged-on users, the
// account database for the user. The rest has no source here and stays empty.
namespace {

class PosixWorkStationSource : public WorkStationSource {
public:
    bool answersQueries() const override { return true; }

    std::optional<WorkstationFacts> workstation() const override
    {
        char host[HOST_NAME_MAX + 1] = {};
        if (::gethostname(host, sizeof host - 1) != 0)
            return std::nullopt;
        WorkstationFacts facts;
        const QString name = QString::fromLocal8Bit(host);
        const qsizetype dot = name.indexOf(QLatin1Char('.'));
        facts.computerName = dot < 0 ? name : name.left(dot);
        facts.lanGroup = dot < 0 ? nisDomain() : name.mid(dot + 1);

        utsname system{};
        if (::uname(&system) == 0) {
            const QStringList release = QString::fromLatin1(system.release).split(QLatin1Char('.'));
            facts.verMajor = leadingNumber(release.value(0));
            facts.verMinor = leadingNumber(release.value(1));
        }
        facts.loggedOnUsers = loggedOnUsers();
        return facts;
    }

    std::optional<WorkstationUserFacts> user() const override
    {
        passwd entry{};
        passwd *found = nullptr;
        char buffer[4096];
        if (::getpwuid_r(::geteuid(), &entry, buffer, sizeof buffer, &found) != 0 || !found)
            return std::nullopt;
        WorkstationUserFacts facts;
        facts.userName = QString::fromLocal8Bit(found->pw_name);
        return facts;
    }

private:
    static QString nisDomain()
    {
        char domain[256] = {};
        if (::getdomainname(domain, sizeof domain - 1) != 0)
            return QString();
        const QString text = QString::fromLocal8Bit(domain);
        return text == QLatin1String("(none)") ? QString() : text;
    }

    static qint32 leadingNumber(const QString &text)
    {
        qint32 value = 0;
        for (const QChar c : text) {
            if (!c.isDigit() || value > 100000)
                break;
            value = value * 10 + c.digitValue();
        }
        return value;
    }

    static qint32 loggedOnUsers()
    {
        qint32 count = 0;
        ::setutxent();
        while (const utmpx *entry = ::getutxent())
            if (entry->ut_type == USER_PROCESS)
                ++count;
        ::endutxent();
        return count;
    }
};

} // namespace

std::shared_ptr<WorkStationSource> makeWorkStationSource()
{
    return std::make_shared<PosixWorkStationSource>();
}
