#include "archive/obfuscation/Reveal.h"

#include "app/SettingsFile.h"
#include "archive/obfuscation/Obfuscator.h"
#include "archive/obfuscation/Scanner.h"
#include "archive/obfuscation/StandInMap.h"
#include "common/ControlText.h"
#include "common/Failure.h"
#include "platform/NativePath.h"
#include "platform/PrivateFile.h"

#include <QFileInfo>

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

using namespace obfuscation;

namespace {

// Read and rewritten this much at a time, cut after the last line break in it.
constexpr size_t block = 1 << 20;

void say(std::FILE *err, const QString &command, const QString &text)
{
    std::fprintf(err, "%s: %s\n", command.toLocal8Bit().constData(),
                 text.toLocal8Bit().constData());
}

// The stand-ins kept beside the settings, ready to be turned back.
std::shared_ptr<const Obfuscator> revealer(const QString &executablePath)
{
    const QString folder =
        QFileInfo(SettingsFile(QFileInfo(executablePath).completeBaseName()).path()).absolutePath();
    const QString path = folder + QStringLiteral("/obfuscation.map");
    checkPrivateFolder(folder, QStringLiteral("settings folder"));
    QByteArray records;
    try {
        records = readPrivateFile(path, QStringLiteral("obfuscation map"), qint64(1) << 30);
    } catch (const Failure &failure) {
        if (failure.number() == ENOENT)
            throw Failure(ENOENT, QStringLiteral("no stand-ins were given on this computer by this "
                                                 "account (there is no %1)")
                                      .arg(shownPath(path)));
        throw;
    }
    // Revealing draws no stand-in: the secret is not needed.
    auto map = std::make_shared<StandInMap>(std::string(32, '\0'));
    map->load(std::string_view(records.constData(), size_t(records.size())));
    return revealerOf(std::move(map));
}

} // namespace

std::shared_ptr<const Obfuscator> obfuscation::revealerOf(std::shared_ptr<StandInMap> map)
{
    // A pattern's stand-in is looked for inside longer words only when chance would not make it
    // there: six characters or more, three of them letters. A short one, or one of digits, turns
    // up inside other words and numbers, and would turn them into values they never held.
    const auto unlikelyByChance = [](const std::string &text) {
        return text.size() >= 6 && std::count_if(text.begin(), text.end(), [](char c) {
                                       return std::isalpha(static_cast<unsigned char>(c));
                                   }) >= 3;
    };
    std::vector<Scanner::Literal> literals;
    for (StandInMap::LiteralStandIn &standIn : map->literalStandIns()) {
        const bool within = standIn.within && unlikelyByChance(standIn.text);
        literals.push_back({std::move(standIn.text), Kind::Word, within});
    }
    return std::make_shared<Obfuscator>(
        Obfuscator::Direction::Reveal,
        std::make_shared<const Scanner>(std::move(literals), std::vector<std::string>()),
        std::move(map));
}

namespace {

QString unreadable(const QString &path, int error)
{
    return QStringLiteral("cannot read %1: %2")
        .arg(shownPath(path), QString::fromLocal8Bit(std::strerror(error)));
}

bool write(std::FILE *out, const std::string &text)
{
    return std::fwrite(text.data(), 1, text.size(), out) == text.size();
}

} // namespace

int revealStandIns(const QStringList &options, const QString &commandName,
                   const QString &executablePath, std::FILE *in, std::FILE *out, std::FILE *err)
{
    const bool fromFile = options.value(0) == QLatin1String("--file");
    if (fromFile && options.size() != 2) {
        say(err, commandName, QStringLiteral("--reveal --file takes one file"));
        return 2;
    }
    std::shared_ptr<const Obfuscator> obfuscator;
    std::FILE *source = in;
    try {
        obfuscator = revealer(executablePath);
        if (fromFile) {
            const QString path = options.at(1);
            source = std::fopen(nativePath(path).constData(), "rb");
            // A folder opens, and only its first read fails: said as what it is, not as a
            // failure to write.
            struct stat st;
            if (source && ::fstat(fileno(source), &st) == 0 && S_ISDIR(st.st_mode)) {
                std::fclose(source);
                source = nullptr;
                errno = EISDIR;
            }
            if (!source)
                throw Failure(errno, unreadable(path, errno));
        }
    } catch (const Failure &failure) {
        say(err, commandName, failure.description());
        return 1;
    }
    Counts counts{};
    std::string revealed;
    bool written = true;
    if (!options.isEmpty() && !fromFile) {
        const QByteArray text = options.join(QLatin1Char(' ')).toUtf8();
        obfuscator->rewrite(std::string_view(text.constData(), size_t(text.size())), revealed,
                            counts);
        written = write(out, revealed + '\n');
    } else {
        std::string pending;
        std::vector<char> buffer(block);
        for (size_t n; written && (n = std::fread(buffer.data(), 1, buffer.size(), source)) > 0;) {
            pending.append(buffer.data(), n);
            // Whole lines only: an identifier never straddles two blocks.
            const size_t cut = pending.rfind('\n');
            if (cut == std::string::npos && pending.size() < block * 16)
                continue;
            const size_t end = cut == std::string::npos ? pending.size() : cut + 1;
            revealed.clear();
            obfuscator->rewrite(std::string_view(pending).substr(0, end), revealed, counts);
            written = write(out, revealed);
            pending.erase(0, end);
        }
        revealed.clear();
        obfuscator->rewrite(pending, revealed, counts);
        written = written && write(out, revealed);
        const int readError = std::ferror(source) ? errno : 0;
        if (fromFile)
            std::fclose(source);
        if (readError) {
            say(err, commandName,
                unreadable(fromFile ? options.at(1) : QStringLiteral("standard input"), readError));
            return 1;
        }
    }
    if (!written || std::fflush(out) != 0) {
        say(err, commandName, QStringLiteral("the revealed text could not be written in full"));
        return 1;
    }
    return 0;
}
