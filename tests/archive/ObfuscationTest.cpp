// Obfuscation: the rules against a reference written from them alone, the stand-ins' promises,
// and the rewriting of large entries on the compression workers against the same text cleaned
// in one piece.
#include "app/Program.h"
#include "archive/ZipArchive.h"
#include "archive/obfuscation/NumberPermutation.h"
#include "archive/obfuscation/Obfuscator.h"
#include "archive/obfuscation/ReplacementCache.h"
#include "archive/obfuscation/Reveal.h"
#include "archive/obfuscation/Rules.h"
#include "archive/obfuscation/RunCleaning.h"
#include "archive/obfuscation/Scanner.h"
#include "archive/obfuscation/SiteNames.h"
#include "archive/obfuscation/StandInMap.h"
#include "support/ArchiveReader.h"
#include "support/OwnedFile.h"
#include "support/ReadableCopyReference.h"
#include "support/TestEnvironment.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>

#include <set>

using namespace obfuscation;

namespace {

const char *const kindNames[] = {"ipv4",  "ipv6", "host", "email", "mac",
                                 "phone", "id",   "user", "word"};

std::shared_ptr<const Scanner> siteScanner()
{
    return std::make_shared<const Scanner>(std::vector<Scanner::Literal>{{"Contoso", Kind::Word}},
                                           std::vector<std::string>{"CUST-[0-9]{6}"});
}

// Cleans with the site's words (or `scanner`), then reveals as --reveal does.
std::string cleanThenReveal(const std::shared_ptr<StandInMap> &map, const std::string &text,
                            std::string *cleaned = nullptr,
                            const std::shared_ptr<const Scanner> &scanner = siteScanner())
{
    std::string out;
    std::string back;
    Counts counts{};
    Obfuscator(Obfuscator::Direction::Clean, scanner, map).rewrite(text, out, counts);
    revealerOf(map)->rewrite(out, back, counts);
    if (cleaned)
        *cleaned = out;
    return back;
}

// Every line of tests/reference/identifiers.py: the tokens its rules name and no others, each
// replaced, and revealing gives the line back byte for byte.
TEST(ObfuscationRules, EveryRuleAgreesWithTheReference)
{
    const QList<QByteArray> lines = reference::run(u"identifiers.py"_s, {}).trimmed().split('\n');
    ASSERT_GT(lines.size(), 100);
    const auto map = std::make_shared<StandInMap>(std::string(32, 's'));
    const Obfuscator clean(Obfuscator::Direction::Clean, siteScanner(), map);
    std::string all;
    std::string cleanedAll;
    Counts counts{};
    for (const QByteArray &line : lines) {
        const QJsonObject row = QJsonDocument::fromJson(line).object();
        const std::string text = row[u"text"_s].toString().toStdString();
        std::vector<std::pair<std::string, std::string>> expected;
        for (const QJsonValue &token : row[u"tokens"_s].toArray())
            expected.emplace_back(token[0].toString().toStdString(),
                                  token[1].toString().toStdString());
        std::vector<std::pair<std::string, std::string>> found;
        // From a buffer of the line's size alone: a rule that reads past it is heard (sanitizers).
        const std::vector<char> exact(text.begin(), text.end());
        for (const Token &token : clean.tokens(std::string_view(exact.data(), exact.size())))
            found.emplace_back(kindNames[size_t(token.kind)],
                               text.substr(token.begin, token.end - token.begin));
        EXPECT_EQ(found, expected) << text;
        std::string cleaned;
        clean.rewrite(text, cleaned, counts);
        EXPECT_EQ(cleaned == text, expected.empty()) << text << " -> " << cleaned;
        // Nor is the site's word left of a value that holds it, as a top-level label either.
        const auto word = [](const std::string &s) {
            return QByteArray::fromStdString(s).toLower().contains("contoso");
        };
        EXPECT_FALSE(word(cleaned) && std::any_of(expected.begin(), expected.end(),
                                                  [&](auto &t) { return word(t.second); }))
            << text << " -> " << cleaned;
        all += text + '\n';
        cleanedAll += cleaned + '\n';
    }
    // Revealed as --reveal does, from the map as it is kept.
    auto kept = std::make_shared<StandInMap>(std::string(32, '\0'));
    kept->load(map->save());
    std::string back;
    revealerOf(kept)->rewrite(cleanedAll, back, counts);
    EXPECT_EQ(back, all);
    // A site's word met only as a top-level label comes back too.
    const std::string topLevel = "relay srv.corp.contoso up";
    EXPECT_EQ(cleanThenReveal(std::make_shared<StandInMap>(std::string(32, 't')), topLevel),
              topLevel);
}

// Two values never share a stand-in, even where a shape has as many stand-ins as values; a
// network's addresses stay together; a value written in an unusual way comes back as it was
// written.
TEST(ObfuscationRules, StandInsAreUniqueAndExact)
{
    auto map = std::make_shared<StandInMap>(std::string(32, 'a'));
    // Numbers, then names of digits and of letters.
    for (const char *shape : {"123456789", "#123456789", "abcdefghijklmnopqrstuvwxyz"}) {
        std::set<std::string> given;
        int itself = 0; // names before the last, whose stand-in is the name itself
        for (const char *c = shape + (*shape == '#'); *c; ++c) {
            const std::string value(1, *c);
            given.insert(*shape == '1' ? map->number(value) : map->name(value, Found::ByRule));
            itself += std::isalpha(*c) && c[1] && map->name(value, Found::ByRule) == value;
        }
        EXPECT_EQ(given.size(), std::strlen(shape) - (*shape == '#'));
        EXPECT_EQ(given.count("0"), 0u);
        EXPECT_EQ(itself, 0) << shape;
    }
    EXPECT_EQ(map->number("0"), "0");
    // Digits keep whether they begin with 0: "0049..." would read as dialled abroad.
    for (int n = 100; n < 300; ++n)
        EXPECT_TRUE(map->name("0" + std::to_string(n), Found::ByPattern)[0] == '0' &&
                    map->name(std::to_string(n * 10), Found::ByPattern)[0] != '0');
    // No stand-in of a word reads as a top-level domain, an extension or hexadecimal digits.
    int misleading = 0;
    for (int n = 0; n < 2000; ++n) {
        const std::string word{char('a' + n % 26), char('a' + n / 26 % 26), char('a' + n / 676)};
        misleading += rules::readsAsSomethingElse(map->name(word, Found::AsWord));
    }
    EXPECT_EQ(misleading, 0);
    const uint32_t a = map->ipv4(0x0a010203), b = map->ipv4(0x0a0102c8), c = map->ipv4(0x0a010304);
    EXPECT_EQ(a >> 8, b >> 8);
    EXPECT_EQ(a >> 16, c >> 16);
    EXPECT_NE(a >> 8, c >> 8);
    EXPECT_EQ(map->ipv4(0x0a0102ff) & 0xff, 0xffu);
    EXPECT_EQ(a >> 28, 0xfu);
    EXPECT_LT(a >> 24, 255u);

    // Each address also in another spelling: each spelling comes back as it was.
    const std::string text = "ip 010.001.002.003 10.1.2.3 and 2001:DB8:0:0::1 2001:db8::1 on "
                             "00:1a:2B:3c:4D:5e 00:1A:2B:3C:4D:5E for user Alice.Smith alice.smith "
                             "at mailbox 0042\n";
    EXPECT_EQ(cleanThenReveal(map, text), text);
    // A pattern's short stand-ins of digits would turn up inside other numbers by chance: they are
    // revealed where they stand alone only.
    std::string numbers;
    for (unsigned long long i = 0; i < 300; ++i) {
        std::string n =
            std::to_string(4000 + i % 200) + " " + std::to_string(1000000000000ULL + 987654321 * i);
        std::replace(n.begin() + 5, n.end(), '4', '5');
        numbers += n + "\n";
    }
    const auto digits = std::make_shared<const Scanner>(std::vector<Scanner::Literal>{},
                                                        std::vector<std::string>{"4[0-9]{3}"});
    EXPECT_EQ(cleanThenReveal(map, numbers, nullptr, digits), numbers);
    // A damaged map is refused: a stand-in of two values, a value of two, a last line cut short,
    // Windows line ends.
    for (const char *damaged : {"w\tabc\talice\nw\tabc\tjdoe\n", "w\tabc\talice\nw\txyz\talice\n",
                                "w\tabc\talice", "w\tabc\talice\r\n", "P\t\talice\n"})
        EXPECT_TRUE(failureOf([&] { StandInMap(std::string(32, 'a')).load(damaged); })) << damaged;
}

// A word the rules name values by ("user alice"), replaced, would hide those values from
// --reveal: no account is taken for a person's by such a name, and a words file with one is
// refused.
TEST(ObfuscationRules, NamingWordsAreNeitherAccountsNorSiteWords)
{
    for (const auto &[name, uid, personal] :
         std::vector<std::tuple<const char *, unsigned, bool>>{{"alice", 1000, true},
                                                               {"user", 1001, false},
                                                               {"Mailbox", 1002, false},
                                                               {"callers", 1003, true},
                                                               {"Number", 1005, false},
                                                               {"bob", 999, false},
                                                               {"ann", 65534, false},
                                                               {"al", 1004, false}})
        EXPECT_EQ(personalAccount(name, uid), personal) << name;
    QTemporaryDir folder;
    const QString path = folder.filePath(u"words"_s);
    ASSERT_TRUE(writeOwnedFile(path, "Contoso\nLogin\n", 0600));
    SiteNames names;
    const auto refused = failureOf([&] { readSiteWords(path, names); });
    ASSERT_TRUE(refused);
    EXPECT_TRUE(refused->description().contains(u"line 2 is one the rules look for"_s))
        << refused->description().toStdString();
    // Nor a pattern that matches within such a word, or may match one or two characters.
    for (const char *pattern : {"re:use[rs]\n", "re:[0-9]\n", "re:M[a-z]{0,2}\n"}) {
        ASSERT_TRUE(writeOwnedFile(path, pattern, 0600));
        const auto bad = failureOf([&] { readSiteWords(path, names); });
        EXPECT_TRUE(bad && bad->description().contains(u"the pattern on line 1 "_s)) << pattern;
    }
    // A name with letters beyond ASCII ("ødegård") is found in capitals and with a capital first.
    ASSERT_TRUE(writeOwnedFile(path, "\u00f8deg\u00e5rd\n", 0600));
    SiteNames umlaut;
    readSiteWords(path, umlaut);
    const auto map = std::make_shared<StandInMap>(std::string(32, 'u'));
    const auto scanner = std::make_shared<const Scanner>(umlaut.literals, umlaut.patterns);
    const std::string text = "\u00d8DEG\u00c5RD, \u00f8deg\u00e5rd, \u00d8deg\u00e5rd\n";
    std::string cleaned;
    Counts counts{};
    Obfuscator(Obfuscator::Direction::Clean, scanner, map).rewrite(text, cleaned, counts);
    EXPECT_EQ(counts[size_t(Kind::Word)], 3u) << cleaned;
}

// The permutation's factors are the count's square root rounded up and what covers the rest: at
// square counts and either side, small and large, each number of the domain has an image in it
// that no other has, so that it inverts; and a shape's numbers map onto their shape.
TEST(ObfuscationRules, NumberPermutationIsABijectionAtEveryCount)
{
    const NumberPermutation permutation(std::string(16, 'k'));
    for (const uint64_t count : {1,  2,  3,  4,   5,   8,   9,   10,  15,     16,      17,     89,
                                 90, 91, 99, 100, 101, 899, 900, 901, 999999, 1000000, 1000001}) {
        std::vector<uint64_t> inverse(count, count);
        for (uint64_t x = 0; x < count; ++x) {
            const uint64_t y = permutation.permute(x, count);
            ASSERT_LT(y, count) << x << " of " << count;
            ASSERT_EQ(inverse[y], count) << x << " and " << inverse[y] << " of " << count;
            inverse[y] = x;
        }
    }
    std::set<std::string> images;
    for (int x = 1; x < 100000; ++x)
        images.insert(*permutation.forward("00" + std::to_string(x)));
    EXPECT_EQ(images.size(), 99999u);
    for (const std::string &image : images)
        EXPECT_TRUE(image.starts_with("00") && image[2] != '0') << image;
    EXPECT_EQ(permutation.forward(std::string(18, '9'))->size(), 18u);
    EXPECT_FALSE(permutation.forward(std::string(19, '9')));
}

// A table takes tokens up to three quarters of its cells: filled one under, to exactly and one
// over that, each kept token finds its own replacement, the one past the bound is not kept, and
// a look for what is not there ends.
TEST(ObfuscationRules, ReplacementCacheKeepsUpToItsBound)
{
    for (const auto &[length, cells] : {std::pair(12, 1 << 18), std::pair(28, 1 << 15)}) {
        const auto token = [length](char first, int i) {
            const std::string number = std::to_string(i);
            return first + std::string(size_t(length) - 1 - number.size(), '.') + number;
        };
        const int bound = cells / 4 * 3;
        for (const int filled : {bound - 1, bound, bound + 1}) {
            SCOPED_TRACE(testing::Message() << length << " bytes, " << filled << " tokens");
            ReplacementCache cache;
            for (int i = 0; i < filled; ++i)
                cache.add(1, token('t', i), token('r', i));
            for (int i = 0; i < filled; ++i)
                ASSERT_EQ(cache.find(1, token('t', i)),
                          i < bound ? std::optional<std::string_view>(token('r', i)) : std::nullopt)
                    << i;
            EXPECT_EQ(cache.find(2, token('t', 0)), std::nullopt);
            EXPECT_EQ(cache.find(1, token('t', filled)), std::nullopt);
        }
    }
}

class RewrittenEntryTest : public TempEnvironment {};

// A rewritten entry of several pieces, lines crossing their borders and one of 200 KB, comes out
// as the text cleaned in one piece; an entry with a zero byte far on stays out with its reason,
// and the others are kept.
TEST_F(RewrittenEntryTest, PiecesJoinAtLineBreaksAndWhatCannotBeCleanedStaysOut)
{
    std::string text;
    for (int i = 0; text.size() < (9u << 20); ++i)
        text += "2026-12-04 14:05:09.123 peer 10." + std::to_string(i % 200) + "." +
                std::to_string(i % 7) + ".9 mailbox " + std::to_string(i % 5000) + " via node" +
                std::to_string(i % 300) + ".corp.example\n";
    // Across the border of the first two of the three pieces the archive cuts the file in.
    const std::string longLine = std::string(200000, 'x') + " user alice\n";
    const size_t border = (text.size() + longLine.size() + 2) / 3;
    text.insert(text.rfind('\n', border - longLine.size() / 2) + 1, longLine);
    writeFile("logs/data_big.log", QByteArray::fromStdString(text));
    writeFile("logs/data_zero.log", QByteArray::fromStdString(text.substr(0, 6 << 20) + '\0'));
    auto run = makeRun();
    RunCleaning cleaning(run->executableName(), run->Options, run->WorkStation(), run->registry());
    ZipArchive zip(6, 3);
    ASSERT_EQ(zip.NewZip(path("archive.zip")), 1);
    for (const char *name : {"data_big.log", "data_zero.log"}) {
        const QString file = path("logs/") + QLatin1String(name);
        ASSERT_EQ(zip.AddFile(file, 0, {QLatin1String(name), cleaning.transformFor(file, name)}),
                  1);
    }
    ASSERT_EQ(zip.AddData(path("logs/copy.txt"), QByteArray::fromStdString(text.substr(0, 5 << 20)),
                          {u"copy.txt"_s, cleaning.transformFor(u"copy"_s, u"copy.txt"_s)}),
              1);
    zip.SaveArchive();
    ASSERT_EQ(zip.lostFiles().size(), 1u);
    EXPECT_TRUE(zip.lostFiles()[0].reason.contains(u"zero byte"_s));
    cleaning.keep();

    auto map = std::make_shared<StandInMap>(std::string(32, 'c'));
    map->load(readFile("config/Sorvik/obfuscation.map").toStdString());
    const auto content = readArchive(path("archive.zip"));
    ASSERT_TRUE(content);
    ASSERT_EQ(content->size(), 2u);
    for (const auto &[name, length] :
         {std::pair{u"data_big.log"_s, text.size()}, std::pair{u"copy.txt"_s, size_t(5 << 20)}}) {
        std::string cleaned;
        EXPECT_EQ(cleanThenReveal(map, text.substr(0, length), &cleaned), text.substr(0, length));
        EXPECT_FALSE(map->changed());
        EXPECT_EQ(
            content->at(name).sha256,
            QCryptographicHash::hash(QByteArray::fromStdString(cleaned), QCryptographicHash::Sha256)
                .toHex());
    }
}

} // namespace
