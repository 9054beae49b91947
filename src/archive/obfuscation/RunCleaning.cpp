#include "archive/obfuscation/RunCleaning.h"

#include "app/ArchiveOptions.h"
#include "app/SettingsFile.h"
#include "archive/obfuscation/Obfuscator.h"
#include "archive/obfuscation/SiteNames.h"
#include "archive/obfuscation/StandInMap.h"
#include "common/ControlText.h"
#include "common/Failure.h"
#include "platform/FileHoles.h"
#include "platform/FileSystem.h"
#include "platform/NativePath.h"
#include "platform/PrivateFile.h"
#include "platform/WholeFile.h"
#include "runlog/RunLog.h"

#include <QDir>
#include <QFileInfo>
#include <QScopeGuard>

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

using namespace obfuscation;

namespace {

const QString keyName = QStringLiteral("obfuscation.key");
const QString mapName = QStringLiteral("obfuscation.map");
const QString keyWhat = QStringLiteral("obfuscation key");
const QString mapWhat = QStringLiteral("obfuscation map");
// A line longer than this is not scanned: its entry is left out.
constexpr size_t longest = 1 << 20;
// Far beyond the stand-ins of any site (about a hundred bytes a value).
constexpr qint64 mapLimit = qint64(1) << 30;

QString folderOf(const QString &executableName)
{
    return QFileInfo(SettingsFile(executableName).path()).absolutePath();
}

// The secret: 32 random bytes, kept as 64 hexadecimal digits; made the first time, unless
// `check`: then `missing` says there is none yet.
std::string secretIn(const QString &folder, bool check, bool &missing)
{
    const QString path = folder + QLatin1Char('/') + keyName;
    QByteArray bytes;
    try {
        bytes = readPrivateFile(path, keyWhat, 4096);
    } catch (const Failure &failure) {
        if (failure.number() != ENOENT)
            throw;
        missing = true;
        if (check)
            return std::string(32, '\0');
        keepSecretsOutOfDumps();
        unsigned char fresh[32];
        if (RAND_bytes(fresh, sizeof fresh) != 1)
            refusePrivateFile(EIO, keyWhat, path, QStringLiteral("no random bytes to make it"));
        QByteArray text = QByteArray(reinterpret_cast<const char *>(fresh), sizeof fresh).toHex();
        OPENSSL_cleanse(fresh, sizeof fresh);
        text += '\n';
        writeFileWhole(folder, keyName, text, 0600);
        OPENSSL_cleanse(text.data(), size_t(text.size()));
        bytes = readPrivateFile(path, keyWhat, 4096);
    }
    const auto wipe = qScopeGuard([&] { OPENSSL_cleanse(bytes.data(), size_t(bytes.size())); });
    const qsizetype end = bytes.indexOf('\n');
    const QByteArray line = (end < 0 ? bytes : bytes.left(end)).trimmed();
    const bool hex = std::all_of(line.begin(), line.end(), [](char c) {
        return std::isxdigit(static_cast<unsigned char>(c));
    });
    if (line.size() != 64 || !hex)
        refusePrivateFile(EINVAL, keyWhat, path,
                          QStringLiteral("its first line is not 64 hexadecimal digits"));
    QByteArray secret = QByteArray::fromHex(line);
    std::string out(secret.constData(), size_t(secret.size()));
    OPENSSL_cleanse(secret.data(), size_t(secret.size()));
    return out;
}

static_assert(kindCount == 9, "a record keeps nine counts");
const char *const singular[] = {"IPv4 address",
                                "IPv6 address",
                                "host name",
                                "e-mail address",
                                "MAC address",
                                "telephone number",
                                "mailbox or subscriber id",
                                "user name",
                                "word of the site's"};
const char *const plural[] = {"IPv4 addresses",
                              "IPv6 addresses",
                              "host names",
                              "e-mail addresses",
                              "MAC addresses",
                              "telephone numbers",
                              "mailbox and subscriber ids",
                              "user names",
                              "words of the site's"};

} // namespace

class RunCleaning::Transform : public EntryTransform {
public:
    Transform(RunCleaning &run, QString path, QString entry)
        : m_run(run)
        , m_obfuscator(run.m_obfuscator)
        , m_path(std::move(path))
        , m_entry(std::move(entry))
    {
    }
    size_t longestLine() const override { return longest; }
    QString rewrite(const char *data, size_t length, std::string &out) override
    {
        if (std::memchr(data, 0, length))
            return QStringLiteral("it holds a zero byte, so it is not text, and it cannot be "
                                  "cleaned");
        // A line too long to scan leaves the entry out wherever it stands: each window of one
        // line's length past a line's start must hold a line break (looked for from its end, so
        // that a window costs a few bytes' look, not a line's).
        for (size_t start = 0; length - start > longest;) {
            const void *lineBreak = ::memrchr(data + start, '\n', longest + 1);
            if (!lineBreak)
                return QStringLiteral("it has a line longer than %1 bytes, which cannot be "
                                      "rewritten")
                    .arg(longest);
            start = size_t(static_cast<const char *>(lineBreak) - data) + 1;
        }
        Counts counts{};
        try {
            m_obfuscator->rewrite({data, length}, out, counts);
        } catch (const Failure &failure) {
            return QStringLiteral("it could not be cleaned: ") + failure.description();
        } catch (const std::bad_alloc &) {
            return QStringLiteral("there was not enough memory to clean it");
        }
        for (size_t k = 0; k < kindCount; ++k)
            m_counts[k] += counts[k];
        return {};
    }
    void finished(bool written) override
    {
        if (!written)
            return;
        Record record{m_path, m_entry == QFileInfo(m_path).fileName() ? QString() : m_entry, {}};
        for (size_t k = 0; k < kindCount; ++k)
            record.counts[k] = quint32(std::min<quint64>(m_counts[k], 0xffffffffu));
        const std::lock_guard lock(m_run.m_mutex);
        m_run.m_records.push_back(std::move(record));
    }

private:
    RunCleaning &m_run;
    std::shared_ptr<const Obfuscator> m_obfuscator;
    std::array<std::atomic<quint64>, kindCount> m_counts{};
    const QString m_path;
    const QString m_entry;
};

RunCleaning::RunCleaning(const QString &executableName, const ArchiveOptions &options,
                         const WorkStationInfo &workstation, const Registry &registry, bool check)
    : m_folder(folderOf(executableName))
{
    // Made where it is missing, with the levels above it.
    if (!check)
        trap([&] { makePrivateFolderPath(m_folder); },
             [&](const Failure &failure) {
                 refusePrivateFile(failure.number(), QStringLiteral("settings folder"), m_folder,
                                   failure.description());
             });
    checkPrivateFolder(m_folder, QStringLiteral("settings folder"));
    m_map = std::make_shared<StandInMap>(secretIn(m_folder, check, m_keyMissing));
    const QString map = m_folder + QLatin1Char('/') + mapName;
    try {
        const QByteArray records = readPrivateFile(map, mapWhat, mapLimit);
        m_map->load(std::string_view(records.constData(), size_t(records.size())));
    } catch (const Failure &failure) {
        if (failure.number() != ENOENT)
            throw Failure(failure.number(),
                          failure.description().contains(shownPath(map))
                              ? failure.description()
                              : QStringLiteral("the %1 %2 cannot be used: %3")
                                    .arg(mapWhat, shownPath(map), failure.description()));
    }

    SiteNames names;
    if (!options.ObfuscateWords.isEmpty())
        readSiteWords(options.ObfuscateWords, names);
    m_siteWords = names.siteWords;
    addOwnNames(workstation, registry, names);
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    for (const QString &pattern : options.ObfuscateSafe.split(blanks, Qt::SkipEmptyParts))
        m_safe.emplace_back(QRegularExpression::wildcardToRegularExpression(pattern.trimmed()),
                            QRegularExpression::CaseInsensitiveOption);
    const auto scanner =
        std::make_shared<const Scanner>(std::move(names.literals), std::move(names.patterns));
    m_obfuscator = std::make_shared<Obfuscator>(Obfuscator::Direction::Clean, scanner, m_map);
}

RunCleaning::~RunCleaning() = default;

QString RunCleaning::startLine() const
{
    return QStringLiteral("    Cleaning every entry and its name: addresses, host and user names, "
                          "telephone numbers, mailbox and subscriber ids%1 get stand-ins, kept in "
                          "%2 (sorvik --reveal gives the values back)")
        .arg(m_siteWords
                 ? QStringLiteral(" and %1 words and patterns of the site's").arg(m_siteWords)
                 : QString(),
             shownPath(m_folder + QLatin1Char('/') + mapName));
}

QString RunCleaning::checkLine() const
{
    // One pass: the folder is outside text and may hold a '%'.
    return QStringLiteral("on, %1 values with stand-ins in %2%3%4")
        .arg(QString::number(m_map->valueCount()), shownPath(m_folder + QLatin1Char('/') + mapName),
             m_siteWords ? QStringLiteral(", %1 words and patterns of the site's").arg(m_siteWords)
                         : QString(),
             m_keyMissing ? QStringLiteral(", the secret is made by the first run") : QString());
}

RunCleaning::Content RunCleaning::contentOf(QByteArrayView head)
{
    if (head.startsWith("\xff\xfe") || head.startsWith("\xfe\xff") ||
        head.startsWith(QByteArrayView("\0\0\xfe\xff", 4)))
        return Content::Undecodable;
    qsizetype controls = 0;
    for (const char c : head) {
        const auto u = static_cast<unsigned char>(c);
        if (u == 0)
            return Content::Binary;
        if ((u < 0x20 && u != '\t' && u != '\n' && u != '\r' && u != '\f' && u != 0x1b) ||
            u == 0x7f)
            ++controls;
    }
    return controls * 100 > head.size() ? Content::Binary : Content::Text;
}

RunCleaning::Content RunCleaning::contentOf(const File &file)
{
    struct stat st;
    const int fd = openRegularFile(file, &st);
    const auto closeFile = qScopeGuard([fd] { ::close(fd); });
    // Its zeros would make it look like no text, and leave it out with a mere warning.
    if (rotatedSinceListed(fd, st, file))
        throw FileSystemError(EIO, QStringLiteral("Cannot read file"), file.Path(),
                              cutShortAndWrittenAgain());
    char head[64 << 10];
    const ssize_t n = ::pread(fd, head, sizeof head, 0);
    if (n < 0)
        throw FileSystemError(errno, QStringLiteral("Cannot read file"), file.Path());
    return contentOf(QByteArrayView(head, n));
}

RunCleaning::Content RunCleaning::contentOf(const QString &path)
{
    const int fd = openRegularFile(path);
    const auto closeFile = qScopeGuard([fd] { ::close(fd); });
    char head[64 << 10];
    const ssize_t n = ::pread(fd, head, sizeof head, 0);
    if (n < 0)
        throw FileSystemError(errno, QStringLiteral("Cannot read file"), path);
    return contentOf(QByteArrayView(head, n));
}

bool RunCleaning::listedAsSafe(const QString &fileName) const
{
    return std::any_of(m_safe.begin(), m_safe.end(), [&](const QRegularExpression &pattern) {
        return pattern.match(fileName).hasMatch();
    });
}

QString RunCleaning::entryName(const QString &name)
{
    // The served product's prefix is no part of what follows it: in "data_10.1.2.3.log" its
    // underscore does not make the address part of a longer word.
    const qsizetype prefix = name.startsWith(QLatin1String("data_"), Qt::CaseInsensitive) ||
                                     name.startsWith(QLatin1String("diag_"), Qt::CaseInsensitive)
                                 ? 5
                                 : 0;
    // The name's own bytes, as the disk has them: text that is no UTF-8 keeps them.
    const QByteArray bytes = nativePath(name.mid(prefix));
    std::string out;
    Counts counts{};
    m_obfuscator->rewrite(std::string_view(bytes.constData(), size_t(bytes.size())), out, counts);
    return name.left(prefix) + decodeNativePath(QByteArray::fromStdString(out));
}

std::shared_ptr<EntryTransform> RunCleaning::transformFor(const QString &path,
                                                          const QString &entryName)
{
    return std::make_shared<Transform>(*this, path, entryName);
}

void RunCleaning::report(RunLog &log) const
{
    const std::lock_guard lock(m_mutex);
    for (const Record &record : m_records) {
        // "3 IPv4 addresses, 1 host name", or that there was nothing.
        QStringList counts;
        for (size_t k = 0; k < kindCount; ++k)
            if (const quint32 n = record.counts[k])
                counts << QStringLiteral("%1 %2").arg(n).arg(
                    QLatin1String(n == 1 ? singular[k] : plural[k]));
        log.WriteLogLine(
            QStringLiteral("    Cleaned ") + shownPath(record.path) +
            (record.entry.isEmpty()
                 ? QString()
                 : QStringLiteral(" (in the archive: %1)").arg(shownPath(record.entry))) +
            QStringLiteral(": ") +
            (counts.isEmpty() ? QStringLiteral("nothing to replace")
                              : counts.join(QStringLiteral(", "))));
    }
}

void RunCleaning::keep()
{
    if (!m_map->changed())
        return;
    const std::string records = m_map->save();
    writeFileWhole(m_folder, mapName, QByteArray::fromStdString(records), 0600);
}
