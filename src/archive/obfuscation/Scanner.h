#pragma once

#include "archive/obfuscation/Identifiers.h"

#include <QString>

#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace obfuscation {

// Finds the identifiers in a text in one pass of a multi-pattern scanner (Hyperscan): the
// triggers of the rules (see Identifiers.h), the site's own patterns, and the literal words and
// names, each a whole word, in any case. Made once, used by many threads, each with scratch
// space of its own.
class Scanner {
public:
    struct Literal {
        std::string text;
        Kind kind;
        // Found inside longer words too, as a site pattern's match is.
        bool within = false;
    };
    // A pattern is a regular expression in the scanner's syntax. Throws Failure naming the
    // pattern that cannot be used.
    Scanner(std::vector<Literal> literals, std::vector<std::string> patterns);
    ~Scanner();
    // Why a pattern that compiles cannot be a site's: it may match fewer than three characters,
    // and would be replaced inside other words, or it matches within one of `words`. Empty when
    // it can (or does not compile: the constructor says so).
    static QString patternProblem(const std::string &pattern,
                                  const std::vector<std::string_view> &words);
    Scanner(const Scanner &) = delete;
    Scanner &operator=(const Scanner &) = delete;

    // One thread's room to scan in.
    class Scratch {
    public:
        explicit Scratch(void *space)
            : m_space(space)
        {
        }
        ~Scratch();
        Scratch(const Scratch &) = delete;
        Scratch &operator=(const Scratch &) = delete;
        void *get() const { return m_space; }

    private:
        void *m_space;
    };
    std::unique_ptr<Scratch> scratch() const;

    // Appends every identifier in `text` (overlapping ones too, in no order). A literal's
    // token has rank 3, a pattern's rank 4.
    void find(std::string_view text, Scratch &scratch, std::vector<Token> &out) const;
    // Whether `text` is, whole and in any case, one of the literal words.
    bool isWord(std::string_view text) const;

private:
    struct Databases;
    std::unique_ptr<Databases> m_databases;
    std::vector<Literal> m_literals;
    // The literal words in small letters.
    std::unordered_set<std::string> m_words;
};

} // namespace obfuscation
