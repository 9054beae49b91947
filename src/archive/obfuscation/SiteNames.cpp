#include "archive/obfuscation/SiteNames.h"

#include "app/LoggingFolder.h"
#include "archive/obfuscation/Rules.h"
#include "common/Failure.h"
#include "platform/PrivateFile.h"
#include "platform/Registry.h"
#include "platform/WorkStationInfo.h"

#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <pwd.h>
#include <unistd.h>

namespace obfuscation {

namespace {

// Far beyond any list of customers' names.
constexpr qint64 wordsLimit = 16 << 20;

// What a registry value's name says it holds: the names of computers.
const QRegularExpression hostValue(
    QStringLiteral("server|host|node|computer|machine|domain|gateway|relay|peer|dns|smtp|ldap|"
                   "sip|proxy|address"));
// A host's name: labels of letters, digits and hyphens, at least one letter.
const QRegularExpression
    hostText(QStringLiteral("^(?=.*[A-Za-z])[A-Za-z0-9](?:[A-Za-z0-9-]{0,61}[A-Za-z0-9])?"
                            "(?:\\.[A-Za-z0-9](?:[A-Za-z0-9-]{0,61}[A-Za-z0-9])?)*$"));
// Hosts anywhere inside a value: \\server\share, scheme://host, user@host.
const QRegularExpression
    hostInside(QStringLiteral("(?:(?<!\\\\)\\\\\\\\|://|@)([A-Za-z0-9][A-Za-z0-9.-]*[A-Za-z0-9])"));

void addHost(SiteNames &names, QString host)
{
    host = host.trimmed();
    const QString lowered = host.toLower();
    if (host.size() < 3 || !hostText.match(host).hasMatch() || lowered == u"localhost" ||
        lowered.startsWith(QLatin1String("localhost.")) || lowered == u"(none)")
        return;
    names.literals.push_back({host.toStdString(), Kind::Host});
    // The first label of a full name stands on its own too.
    const qsizetype dot = host.indexOf(QLatin1Char('.'));
    if (dot >= 3)
        names.literals.push_back({host.left(dot).toStdString(), Kind::Host});
}

// A value may list hosts ("sip-edge4;sip-edge5") and give each its port ("sip-edge4:5060").
void addHosts(SiteNames &names, const QString &text)
{
    static const QRegularExpression separators(QStringLiteral("[,; \\t]+"));
    static const QRegularExpression port(QStringLiteral(":\\d{1,5}$"));
    for (QString host : text.split(separators, Qt::SkipEmptyParts))
        addHost(names, host.remove(port));
}

QString textOf(const RegistryValue &value)
{
    QByteArray data = value.data;
    while (data.endsWith('\0'))
        data.chop(1);
    return QString::fromUtf8(data);
}

} // namespace

void readSiteWords(const QString &path, SiteNames &names)
{
    QByteArray bytes = readPrivateFile(path, QStringLiteral("words file"), wordsLimit);
    // A file saved by Notepad begins with a byte-order mark, no part of its first word.
    if (bytes.startsWith("\xef\xbb\xbf"))
        bytes.remove(0, 3);
    int number = 0;
    for (QByteArray line : bytes.split('\n')) {
        ++number;
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.startsWith("re:")) {
            if (line.size() == 3)
                refusePrivateFile(EINVAL, QStringLiteral("words file"), path,
                                  QStringLiteral("line %1 is an empty pattern").arg(number));
            std::string pattern = line.mid(3).toStdString();
            if (const QString problem = Scanner::patternProblem(pattern, rules::namingWords());
                !problem.isEmpty())
                refusePrivateFile(
                    EINVAL, QStringLiteral("words file"), path,
                    QStringLiteral("the pattern on line %1 %2").arg(number).arg(problem));
            names.patterns.push_back(std::move(pattern));
            ++names.siteWords;
            continue;
        }
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        if (line.size() < 3)
            refusePrivateFile(EINVAL, QStringLiteral("words file"), path,
                              QStringLiteral("the word on line %1 is shorter than three "
                                             "characters; it would be replaced inside other "
                                             "words")
                                  .arg(number));
        if (rules::namingWord(std::string_view(line.constData(), size_t(line.size()))))
            refusePrivateFile(EINVAL, QStringLiteral("words file"), path,
                              QStringLiteral("the word on line %1 is one the rules look for "
                                             "before a value; replaced, it would hide the values "
                                             "after it from --reveal")
                                  .arg(number));
        // Matched in any case of its ASCII letters only: a name with others ("Müller") is also
        // looked for in capitals, in small letters and with capitals first ("MÜLLER", "müller",
        // "Müller").
        const QString word = QString::fromUtf8(line);
        QString title = word.toLower();
        for (qsizetype i = 0; i < title.size(); ++i)
            if (i == 0 || title.at(i - 1).isSpace())
                title[i] = title.at(i).toUpper();
        std::vector<QByteArray> forms{line};
        for (const QString &form : {word.toUpper(), word.toLower(), title})
            if (std::none_of(forms.begin(), forms.end(), [&](const QByteArray &known) {
                    return known.compare(form.toUtf8(), Qt::CaseInsensitive) == 0;
                }))
                forms.push_back(form.toUtf8());
        for (const QByteArray &form : forms)
            names.literals.push_back({form.toStdString(), Kind::Word});
        ++names.siteWords;
    }
}

bool personalAccount(std::string_view name, unsigned uid)
{
    return uid >= 1000 && uid != 65534 && name.size() >= 3 && !rules::namingWord(name);
}

void addOwnNames(const WorkStationInfo &workstation, const Registry &registry, SiteNames &names)
{
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) == 0)
        addHost(names, QString::fromLocal8Bit(host));
    for (const QString &name : {workstation.ComputerName(), workstation.Domain(),
                                workstation.LogonDomain(), workstation.LogonServer()})
        addHost(names, name);

    // The served product's settings name its servers and peers.
    for (const NamedRegistryValue &value : registry.valuesBelow(
             RegistryRoot::LocalMachine, loggingFolderKey().section(QLatin1Char('\\'), 0, 1))) {
        const quint32 type = value.value.type;
        if (type != RegistryType::String && type != RegistryType::ExpandString &&
            type != RegistryType::MultiString)
            continue;
        for (const QString &text : textOf(value.value).split(QChar(0), Qt::SkipEmptyParts)) {
            if (hostValue.match(value.name).hasMatch())
                addHosts(names, text);
            for (auto it = hostInside.globalMatch(text); it.hasNext();)
                addHost(names, it.next().captured(1));
        }
    }

    setpwent();
    while (const passwd *account = getpwent())
        if (personalAccount(account->pw_name, account->pw_uid))
            names.literals.push_back({account->pw_name, Kind::User});
    endpwent();
}

} // namespace obfuscation
