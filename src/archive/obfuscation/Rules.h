#pragma once

#include "archive/obfuscation/Identifiers.h"

#include "archive/obfuscation/Characters.h"

#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

// The rules of each kind of identifier, each called with the place where its trigger ended.
// Each returns how far it looked (see recognize): the end of the run of bytes its token is
// made of, where no other start could give another token; the trigger's end where one could.
namespace obfuscation::rules {

size_t ipv4(std::string_view text, size_t end, std::vector<Token> &out);
size_t colons(std::string_view text, size_t end, std::vector<Token> &out);
size_t macWithDashes(std::string_view text, size_t end, std::vector<Token> &out);
size_t macWithDots(std::string_view text, size_t end, std::vector<Token> &out);
size_t email(std::string_view text, size_t end, std::vector<Token> &out);
size_t domain(std::string_view text, size_t end, std::vector<Token> &out);
size_t domainUser(std::string_view text, size_t end, std::vector<Token> &out);

size_t international(std::string_view text, size_t end, std::vector<Token> &out);
size_t national(std::string_view text, size_t end, std::vector<Token> &out);
size_t nanp(std::string_view text, size_t end, std::vector<Token> &out);
size_t afterWord(unsigned trigger, std::string_view text, size_t end, std::vector<Token> &out);
size_t folderOwner(std::string_view text, size_t end, std::vector<Token> &out);

// Shared by the number rules and the naming rules.
struct Digits {
    size_t end = 0;
    int count = 0;
};
// Digit groups from `i`: digits, or digits in parentheses (only after the first group when
// `parenthesisLater`); joined by one separator (" ./-"), or after a parenthesis by nothing. The
// separator after the first group may be any; every later one must be the same: a date and a
// time after it ("04.12.2026 14") are not one number. A group shorter than `shortest` (but one in
// parentheses) ends the number before it. Returns the longest run of groups whose digits number
// from `fewest` to `most` and that ends on its own (or `listed`, in a list: endsInList).
Digits groups(std::string_view text, size_t i, int shortest, bool parenthesisLater, int fewest,
              int most, bool listed = false);
// Whether a number that ends at `end` ends there: it does not run on into a word, nor into a
// time or a decimal ("12:05", "3.5").
bool endsAlone(std::string_view text, size_t end);
// Or before a comma and a digit, where a telephone number or an id is the first of a list
// joined by commas alone ("030 1234567,030 7654321"): none of them is a decimal.
bool endsInList(std::string_view text, size_t end);
// Where the run of digits from `i` ends.
size_t digitRun(std::string_view text, size_t i);

// Shared by the rules of addresses and of names: the widest run of bytes that `in` takes, around
// the place `inside`.
template <typename In>
std::pair<size_t, size_t> runAround(std::string_view text, size_t inside, In in)
{
    size_t a = inside;
    size_t b = inside;
    while (a > 0 && in(chars::at(text, a - 1)))
        --a;
    while (b < text.size() && in(chars::at(text, b)))
        ++b;
    return {a, b};
}

// Whether `u` and four hexadecimal digits begin at `i`, after a backslash that is not itself
// escaped: JSON's escape of a character ("\u00fc").
bool jsonEscape(std::string_view text, size_t i);
// Whether an escape ends at `i`, a URL's ("%2F") or JSON's ("\u0022"): a name or an address
// may begin right after one.
bool escapeBefore(std::string_view text, size_t i);
// Where a run of letters and digits that begins at `a`, inside an escape, leaves it: past the
// digits of "%40" or of "\u0040" that it took in ("%40contoso.com", "\u004010.1.2.3"); `a`
// where it begins no escape.
size_t pastEscape(std::string_view text, size_t a);

// The longest account name or address's local part the rules take.
constexpr size_t longestAccount = 64;

// Whether `word`, in lower case, is in `set` (of words in lower case). Words longer than any in a
// set are no member; the rest are lowered on the stack.
bool inSet(std::string_view word, const std::unordered_set<std::string_view> &set);

// Whether the labels from `begin` to `end` make a host name: two or more labels of letters,
// digits and inner hyphens, the last one a top-level domain. `strict` for names found on their
// own, where the last label must also not be a file's extension (and, of two labels, a known
// top-level domain).
bool hostName(std::string_view text, size_t begin, size_t end, bool strict);

// Whether a name drawn as a stand-in would read as something else where it may stand: a
// top-level domain or a file's extension (as a host's last label), or hexadecimal digits (next
// to digits, in an id or a hash).
bool readsAsSomethingElse(std::string_view name);

// Words after "user", "login"... that name no account (in any case).
bool notAnAccount(std::string_view word);

// The words the rules look for before a value ("user", "mailbox", "caller"...) and those that
// may stand between such a word and its value ("name", "id"), in small letters.
std::vector<std::string_view> namingWords();
// Whether `word` is one of them, in any case.
bool namingWord(std::string_view word);

} // namespace obfuscation::rules
