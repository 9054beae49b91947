#include "archive/obfuscation/Scanner.h"

#include "archive/obfuscation/Characters.h"

#include "common/ControlText.h"
#include "common/Failure.h"

#include <QScopeGuard>

#include <hs/hs.h>

#include <cerrno>
#include <cstdlib>
#include <exception>

namespace obfuscation {

namespace {

// The site's patterns come after the triggers, by number, and the literals after them.
constexpr unsigned firstPattern = 1000;
constexpr unsigned firstLiteral = 1u << 24;
// Up to this many literals go into the rules' database, as expressions: one pass over the text
// finds all. More (a long list of customers) get a literal matcher of their own, which compiles
// faster.
constexpr size_t literalsAmongRules = 256;

// A literal as an expression: every byte escaped.
std::string escaped(const std::string &literal)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char c : literal) {
        out += "\\x";
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

void release(hs_database_t *database)
{
    if (database)
        hs_free_database(database);
}

// `what` is said first, then the compiler's reason.
[[noreturn]] void refuse(hs_compile_error_t *error, const QString &what)
{
    const QString why = QString::fromUtf8(error ? error->message : "unknown error");
    hs_free_compile_error(error);
    throw Failure(EINVAL, what + why);
}

} // namespace

struct Scanner::Databases {
    hs_database_t *rules = nullptr;
    hs_database_t *literals = nullptr;
    hs_scratch_t *prototype = nullptr;
    ~Databases()
    {
        if (prototype)
            hs_free_scratch(prototype);
        release(rules);
        release(literals);
    }
};

Scanner::Scratch::~Scratch()
{
    hs_free_scratch(static_cast<hs_scratch_t *>(m_space));
}

bool Scanner::isWord(std::string_view text) const
{
    return !m_words.empty() && m_words.count(chars::lowered(text)) != 0;
}

Scanner::Scanner(std::vector<Literal> literals, std::vector<std::string> patterns)
    : m_databases(std::make_unique<Databases>())
    , m_literals(std::move(literals))
{
    for (const Literal &literal : m_literals)
        if (literal.kind == Kind::Word)
            m_words.insert(chars::lowered(literal.text));
    if (hs_valid_platform() != HS_SUCCESS)
        throw Failure(ENOTSUP, QStringLiteral("this processor lacks what the scanner needs "
                                              "(SSSE3)"));
    std::vector<const char *> expressions;
    std::vector<unsigned> flags;
    std::vector<unsigned> ids;
    for (unsigned trigger = 0; trigger < triggerCount; ++trigger) {
        expressions.push_back(triggerExpression(trigger));
        flags.push_back(0);
        ids.push_back(trigger);
    }
    // A pattern's matches need their start: the site's patterns are few.
    for (size_t i = 0; i < patterns.size(); ++i) {
        expressions.push_back(patterns[i].c_str());
        flags.push_back(HS_FLAG_SOM_LEFTMOST);
        ids.push_back(firstPattern + unsigned(i));
    }
    const bool together = m_literals.size() <= literalsAmongRules;
    std::vector<std::string> escapedLiterals;
    for (size_t i = 0; together && i < m_literals.size(); ++i)
        escapedLiterals.push_back(escaped(m_literals[i].text));
    for (size_t i = 0; i < escapedLiterals.size(); ++i) {
        expressions.push_back(escapedLiterals[i].c_str());
        flags.push_back(HS_FLAG_CASELESS);
        ids.push_back(firstLiteral + unsigned(i));
    }
    hs_compile_error_t *error = nullptr;
    if (hs_compile_multi(expressions.data(), flags.data(), ids.data(), unsigned(expressions.size()),
                         HS_MODE_BLOCK, nullptr, &m_databases->rules, &error) != HS_SUCCESS) {
        const int which = error ? error->expression : -1;
        if (which >= int(triggerCount) && which < int(triggerCount + patterns.size()))
            refuse(error, QStringLiteral("the pattern \"%1\" cannot be used: ")
                              .arg(escapeControls(
                                  QString::fromStdString(patterns[size_t(which) - triggerCount]))));
        refuse(error, QStringLiteral("the scanner's own patterns cannot be compiled: "));
    }
    if (hs_alloc_scratch(m_databases->rules, &m_databases->prototype) != HS_SUCCESS)
        throw std::bad_alloc();
    if (!together) {
        std::vector<const char *> texts;
        std::vector<size_t> lengths;
        std::vector<unsigned> literalFlags(m_literals.size(), HS_FLAG_CASELESS);
        std::vector<unsigned> literalIds;
        for (size_t i = 0; i < m_literals.size(); ++i) {
            texts.push_back(m_literals[i].text.data());
            lengths.push_back(m_literals[i].text.size());
            literalIds.push_back(unsigned(i));
        }
        if (hs_compile_lit_multi(texts.data(), literalFlags.data(), literalIds.data(),
                                 lengths.data(), unsigned(texts.size()), HS_MODE_BLOCK, nullptr,
                                 &m_databases->literals, &error) != HS_SUCCESS)
            refuse(error, QStringLiteral("the words to replace cannot be compiled: "));
        if (hs_alloc_scratch(m_databases->literals, &m_databases->prototype) != HS_SUCCESS)
            throw std::bad_alloc();
    }
}

Scanner::~Scanner() = default;

QString Scanner::patternProblem(const std::string &pattern,
                                const std::vector<std::string_view> &words)
{
    hs_expr_info_t *info = nullptr;
    hs_compile_error_t *error = nullptr;
    if (hs_expression_info(pattern.c_str(), HS_FLAG_SOM_LEFTMOST, &info, &error) != HS_SUCCESS) {
        hs_free_compile_error(error);
        return {};
    }
    const unsigned shortest = info->min_width;
    std::free(info);
    if (shortest < 3)
        return QStringLiteral("may match fewer than three characters; they would be replaced "
                              "inside other words");
    hs_database_t *database = nullptr;
    hs_scratch_t *space = nullptr;
    if (hs_compile(pattern.c_str(), HS_FLAG_SINGLEMATCH, HS_MODE_BLOCK, nullptr, &database,
                   &error) != HS_SUCCESS) {
        hs_free_compile_error(error);
        return {};
    }
    const auto freed = qScopeGuard([&] {
        hs_free_scratch(space);
        hs_free_database(database);
    });
    if (hs_alloc_scratch(database, &space) != HS_SUCCESS)
        throw std::bad_alloc();
    const auto matched = [](unsigned, unsigned long long, unsigned long long, unsigned, void *) {
        return 1;
    };
    for (const std::string_view word : words)
        if (hs_scan(database, word.data(), unsigned(word.size()), 0, space, matched, nullptr) ==
            HS_SCAN_TERMINATED)
            return QStringLiteral("matches within \"%1\", a word the rules look for before a "
                                  "value; replaced, it would hide the values after it from "
                                  "--reveal")
                .arg(QLatin1String(word.data(), qsizetype(word.size())));
    return {};
}

std::unique_ptr<Scanner::Scratch> Scanner::scratch() const
{
    hs_scratch_t *space = nullptr;
    if (hs_clone_scratch(m_databases->prototype, &space) != HS_SUCCESS)
        throw std::bad_alloc();
    return std::make_unique<Scratch>(space);
}

namespace {

struct Scan {
    std::string_view text;
    std::vector<Token> *out;
    const std::vector<Scanner::Literal> *literals;
    // How far each trigger's rules have looked: the triggers inside a token are passed over.
    size_t looked[triggerCount] = {};
    std::exception_ptr failure;
};

int onLiteral(unsigned id, unsigned long long, unsigned long long to, unsigned, void *context);

int onRule(unsigned id, unsigned long long from, unsigned long long to, unsigned, void *context)
{
    Scan &scan = *static_cast<Scan *>(context);
    try {
        if (id >= firstLiteral) {
            onLiteral(id - firstLiteral, from, to, 0, context);
        } else if (id >= firstPattern) {
            if (to > from)
                scan.out->push_back({size_t(from), size_t(to), Kind::Word, Shape::Name, 4});
        } else if (to > scan.looked[id]) {
            scan.looked[id] = std::max<size_t>(to, recognize(id, scan.text, size_t(to), *scan.out));
        }
    } catch (...) {
        scan.failure = std::current_exception();
        return 1;
    }
    return 0;
}

int onLiteral(unsigned id, unsigned long long, unsigned long long to, unsigned, void *context)
{
    Scan &scan = *static_cast<Scan *>(context);
    const Scanner::Literal &literal = (*scan.literals)[id];
    const size_t begin = size_t(to) - literal.text.size();
    if (literal.within || literalStandsAlone(scan.text, begin, size_t(to), literal.kind)) {
        const bool host = literal.kind == Kind::Host && literal.text.find('.') != std::string::npos;
        scan.out->push_back(
            {begin, size_t(to), literal.kind, host ? Shape::Labels : Shape::Name, 3});
    }
    return 0;
}

} // namespace

void Scanner::find(std::string_view text, Scratch &scratch, std::vector<Token> &out) const
{
    Scan scan{text, &out, &m_literals, {}, nullptr};
    if (hs_scan(m_databases->rules, text.data(), unsigned(text.size()), 0,
                static_cast<hs_scratch_t *>(scratch.get()), onRule, &scan) == HS_SCAN_TERMINATED &&
        scan.failure)
        std::rethrow_exception(scan.failure);
    if (m_databases->literals)
        hs_scan(m_databases->literals, text.data(), unsigned(text.size()), 0,
                static_cast<hs_scratch_t *>(scratch.get()), onLiteral, &scan);
}

} // namespace obfuscation
