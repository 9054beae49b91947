// The rules of numbers (telephone numbers, extensions, mailbox and subscriber ids) and of the
// values the words before them name (user names).
#include "archive/obfuscation/Characters.h"
#include "archive/obfuscation/Rules.h"

#include <algorithm>
#include <string>
#include <vector>

namespace obfuscation::rules {

using namespace chars;

namespace {

struct Digits {
    size_t end = 0;
    int count = 0;
};

bool separator(unsigned char c)
{
    return c == ' ' || c == '.' || c == '-' || c == '/';
}

// Whether a number that ends at `end` ends there: it does not run on into a word, nor into a
// time or a decimal ("12:05", "3.5").
bool endsAlone(std::string_view text, size_t end)
{
    const unsigned char next = at(text, end);
    return !word(next) &&
           !((next == '.' || next == ':' || next == ',') && digit(at(text, end + 1)));
}

// Or before a comma and a digit, where a telephone number or an id is the first of a list
// joined by commas alone ("030 1234567,030 7654321"): none of them is a decimal.
bool endsInList(std::string_view text, size_t end)
{
    return endsAlone(text, end) || (at(text, end) == ',' && digit(at(text, end + 1)));
}

// Whether what comes before `begin` lets a number start there.
bool startsAlone(std::string_view text, size_t begin)
{
    const unsigned char before = begin > 0 ? at(text, begin - 1) : ' ';
    return !word(before) && before != '+' && before != '.' && before != ':' && before != '/' &&
           before != '-' && before != ',';
}

// Digit groups from `i`: digits, or digits in parentheses (only after the first group when
// `parenthesisLater`); joined by one separator (" ./-"), or after a parenthesis by nothing. The
// separator after the first group may be any; every later one must be the same: a date and a
// time after it ("04.12.2026 14") are not one number. A group shorter than `shortest` (but one in
// parentheses) ends the number before it. Returns the longest run of groups whose digits number
// from `fewest` to `most` and that ends on its own (or `listed`, in a list: endsInList).
Digits groups(std::string_view text, size_t i, int shortest, bool parenthesisLater, int fewest,
              int most, bool listed = false)
{
    Digits found;
    int count = 0;
    unsigned char later = 0;
    for (int group = 0; count <= most; ++group) {
        const bool parenthesis = at(text, i) == '(' && (group == 0 || parenthesisLater);
        size_t j = i + parenthesis;
        const size_t first = j;
        while (digit(at(text, j)))
            ++j;
        const int n = int(j - first);
        if (n == 0 || (parenthesis && at(text, j) != ')') || (!parenthesis && n < shortest))
            break;
        j += parenthesis;
        const unsigned char next = at(text, j);
        // A group that runs on into a word or a time belongs to that.
        if ((!parenthesis && word(next)) || (next == ':' && digit(at(text, j + 1))))
            break;
        count += n;
        if (count >= fewest && count <= most && (listed ? endsInList(text, j) : endsAlone(text, j)))
            found = {j, count};
        // A national number's first group is its area code: one longer is the whole number.
        if (group == 0 && n > 5 && shortest > 1)
            break;
        i = j;
        if (separator(next) && (digit(at(text, i + 1)) || at(text, i + 1) == '(')) {
            if (group > 0 && !parenthesis && (later ? next != later : (later = next, false)))
                break;
            ++i;
        } else if (!(parenthesis && digit(next))) {
            break;
        }
    }
    return found;
}

// Where the value after a naming word starts: blanks, then at most one of "=:#" and blanks.
// Nothing when no separator follows the word (a longer word, such as "users").
size_t valueAfter(std::string_view text, size_t word, bool dot)
{
    size_t i = word;
    if (dot && at(text, i) == '.')
        ++i;
    // A key in quotes ("user": "bob") ends in its quote.
    if (at(text, i) == '"' || at(text, i) == '\'') {
        size_t j = i + 1;
        while (at(text, j) == ' ' || at(text, j) == '\t')
            ++j;
        if (at(text, j) == '=' || at(text, j) == ':')
            ++i;
    }
    while (at(text, i) == ' ' || at(text, i) == '\t')
        ++i;
    if (at(text, i) == '=' || at(text, i) == ':' || at(text, i) == '#') {
        ++i;
        while (at(text, i) == ' ' || at(text, i) == '\t')
            ++i;
    }
    return i > word ? i : std::string_view::npos;
}

// The words that name the value after them, by trigger; "calling" and "called" only with a
// qualifier ("calling party", "called number").
const std::vector<std::string_view> &namingWords(unsigned trigger)
{
    static const std::vector<std::string_view> phone{
        "caller", "callee", "calling", "called", "phone", "telephone", "tel",  "fax", "mobile",
        "cell",   "ani",    "dnis",    "cli",    "clid",  "msisdn",    "cgpn", "cdpn"};
    static const std::vector<std::string_view> extension{"ext", "extension"};
    static const std::vector<std::string_view> id{"mailbox", "mbx", "subscriber", "subscr"};
    static const std::vector<std::string_view> user{"user",  "username", "userid",   "login",
                                                    "logon", "owner",    "principal"};
    static const std::vector<std::string_view> none;
    return trigger == TriggerPhoneWord       ? phone
           : trigger == TriggerExtensionWord ? extension
           : trigger == TriggerIdWord        ? id
           : trigger == TriggerUserWord      ? user
                                             : none;
}

// What may stand between a naming word and its value ("user name", "caller id").
const std::vector<std::string_view> &namingQualifiers()
{
    static const std::vector<std::string_view> qualifiers{"id", "no",    "number", "num",
                                                          "nr", "party", "name"};
    return qualifiers;
}

} // namespace

std::vector<std::string_view> namingWords()
{
    std::vector<std::string_view> all = namingQualifiers();
    for (const unsigned trigger :
         {TriggerPhoneWord, TriggerExtensionWord, TriggerIdWord, TriggerUserWord})
        for (const std::string_view naming : namingWords(trigger))
            all.push_back(naming);
    return all;
}

bool namingWord(std::string_view word)
{
    std::string lowered(word);
    for (char &c : lowered)
        c = char(toLower(static_cast<unsigned char>(c)));
    const std::vector<std::string_view> all = namingWords();
    return std::find(all.begin(), all.end(), lowered) != all.end();
}

namespace {

// `letters` in small letters, in `room`; empty when they do not fit, as no word looked for
// would.
template <size_t size> std::string_view lowered(std::string_view letters, char (&room)[size])
{
    if (letters.size() > size)
        return {};
    for (size_t k = 0; k < letters.size(); ++k)
        room[k] = char(toLower(static_cast<unsigned char>(letters[k])));
    return {room, letters.size()};
}

// Where a naming word that ends at `end` is followed by what it names: past its qualifier
// ("mailbox id", "phone number", "user name"). Nothing when the letters that end at `end` are not
// such a word of their own ("Telephony", "users", "company").
size_t afterNamingWord(std::string_view text, size_t end, unsigned trigger)
{
    size_t begin = end;
    while (begin > 0 && alpha(at(text, begin - 1)))
        --begin;
    // A qualifier may also follow in camel case ("subscriberId", "userName").
    const bool camel = upper(at(text, end)) && lower(at(text, end - 1));
    if ((begin > 0 && word(at(text, begin - 1))) || (alnum(at(text, end)) && !camel))
        return std::string_view::npos;
    // In small letters, in place: this runs at every naming word's match.
    char foundLetters[12];
    const std::string_view found = lowered(text.substr(begin, end - begin), foundLetters);
    const auto &words = namingWords(trigger);
    if (std::find(words.begin(), words.end(), found) == words.end())
        return std::string_view::npos;
    // Where a qualifier starting at `from` (past one blank, '_' or '-' unless `joined`) ends: at
    // what is no letter or digit, or where camel case begins the next ("calledPartyNumber").
    const auto qualifierEnd = [&](size_t from, bool joined) {
        const unsigned char c = at(text, from);
        const size_t i = from + (!joined && (c == ' ' || c == '_' || c == '-'));
        const auto camelAt = [&](size_t w) { return upper(at(text, w)) && lower(at(text, w - 1)); };
        size_t w = i;
        while (alpha(at(text, w)) && !(w > i && camelAt(w)))
            ++w;
        char qualifierLetters[8];
        const std::string_view qualifier = lowered(text.substr(i, w - i), qualifierLetters);
        const std::vector<std::string_view> &qualifiers = namingQualifiers();
        return w > i && (!alnum(at(text, w)) || camelAt(w)) &&
                       std::find(qualifiers.begin(), qualifiers.end(), qualifier) !=
                           qualifiers.end()
                   ? w
                   : std::string_view::npos;
    };
    if (const size_t qualified = qualifierEnd(end, camel); qualified != std::string_view::npos) {
        // Two, as signalling names them: "Called party number", "caller id no".
        const size_t second = qualifierEnd(qualified, false);
        return second != std::string_view::npos ? second : qualified;
    }
    return camel || found == "calling" || found == "called" ? std::string_view::npos : end;
}

size_t digitRun(std::string_view text, size_t i)
{
    while (digit(at(text, i)))
        ++i;
    return i;
}

} // namespace

size_t international(std::string_view text, size_t end, std::vector<Token> &out)
{
    const size_t plus = end - 2;
    // After anything but a word or another '+': no time, ratio or decimal goes on with a '+'
    // ("sip:+4930123456@...", "numbers=+4930111222,+4930111333", "route /+4930111444").
    const unsigned char before = plus > 0 ? at(text, plus - 1) : ' ';
    if (word(before) || before == '+' || at(text, plus + 1) == '0')
        return end;
    const Digits number = groups(text, plus + 1, 1, true, 8, 15);
    if (number.count > 0)
        out.push_back({plus, number.end, Kind::Phone, Shape::Digits, 2});
    return end;
}

size_t national(std::string_view text, size_t end, std::vector<Token> &out)
{
    // The trigger ends after "0", a digit 1-9 and one more.
    size_t start = end - 3;
    if (start > 0 && at(text, start - 1) == '(')
        --start;
    if (!startsAlone(text, start))
        return end;
    for (;;) {
        const Digits number = groups(text, start, 2, false, 9, 12, true);
        if (number.count == 0)
            break;
        out.push_back({start, number.end, Kind::Phone, Shape::Digits, 2});
        // The next of a list joined by a comma alone, which the trigger does not start on.
        start = number.end + 1;
        if (at(text, number.end) != ',' || at(text, start) != '0' || !digit(at(text, start + 1)) ||
            at(text, start + 1) == '0')
            break;
    }
    return end;
}

size_t nanp(std::string_view text, size_t end, std::vector<Token> &out)
{
    if (end < 12)
        return end;
    const auto digits = [&](size_t from, size_t n) {
        for (size_t k = 0; k < n; ++k)
            if (!digit(at(text, from + k)))
                return false;
        return true;
    };
    const unsigned char second = at(text, end - 5);
    size_t area = end - 12;
    size_t start = area;
    const unsigned char first = at(text, end - 9);
    if (first == ')' && at(text, end - 13) == '(' && end >= 13) {
        start = end - 13; // (212)555-0100
    } else if (first == ' ' && at(text, end - 10) == ')' && end >= 14 &&
               at(text, end - 14) == '(') {
        area = end - 13; // (212) 555-0100
        start = end - 14;
    } else if (!separator(first) || first == '/' || (first != second && first != ' ')) {
        return end;
    }
    // Also after the country's 1 ("1-800-555-0199"), which stays as it is.
    const unsigned char joint = start >= 2 ? at(text, start - 1) : 0;
    const bool country = (joint == ' ' || joint == '.' || joint == '-') &&
                         at(text, start - 2) == '1' && startsAlone(text, start - 2);
    if (!digits(area, 3) || !digits(end - 8, 3) || !digits(end - 4, 4) || at(text, area) == '0' ||
        !(country || startsAlone(text, start) || at(text, start - 1) == ',') ||
        !endsInList(text, end))
        return end;
    out.push_back({start, end, Kind::Phone, Shape::Digits, 2});
    return end;
}

size_t afterWord(unsigned trigger, std::string_view text, size_t end, std::vector<Token> &out)
{
    if (trigger == TriggerExtensionX) {
        // "x123" only right after a telephone number: "555-0100 x123".
        size_t before = end - 2;
        while (before > 0 && (text[before - 1] == ' ' || text[before - 1] == ','))
            --before;
        const size_t stop = digitRun(text, end - 1);
        if (before > 0 && (digit(at(text, before - 1)) || text[before - 1] == ')') &&
            stop - (end - 1) >= 2 && stop - (end - 1) <= 6 && endsAlone(text, stop))
            out.push_back({end - 1, stop, Kind::Phone, Shape::Digits, 0});
        return end;
    }
    if (trigger != TriggerExtensionX) {
        end = afterNamingWord(text, end, trigger);
        if (end == std::string_view::npos)
            return 0;
    }
    const size_t value = valueAfter(text, end, trigger == TriggerExtensionWord);
    if (value == std::string_view::npos)
        return end;
    if (trigger == TriggerPhoneWord) {
        const size_t start = value + (at(text, value) == '+');
        const Digits number = groups(text, start, 1, true, 3, 15);
        if (number.count > 0)
            out.push_back({value, number.end, Kind::Phone, Shape::Digits, 0});
        return end;
    }
    if (trigger == TriggerExtensionWord) {
        const size_t stop = digitRun(text, value);
        if (stop > value && stop - value <= 8 && endsAlone(text, stop))
            out.push_back({value, stop, Kind::Phone, Shape::Digits, 0});
        return end;
    }
    const bool id = trigger == TriggerIdWord;
    size_t start = value;
    if (at(text, start) == '"' || at(text, start) == '\'')
        ++start;
    size_t stop = start;
    bool letter = false;
    bool number = false;
    // The value from `start` on: `stop` ends it, `letter` and `number` say what it holds.
    const auto scan = [&] {
        stop = start;
        letter = number = false;
        while (alnum(at(text, stop)) || at(text, stop) >= 0x80 || at(text, stop) == '_' ||
               at(text, stop) == '-' || (!id && at(text, stop) == '.')) {
            letter = letter || alpha(at(text, stop)) || at(text, stop) >= 0x80;
            number = number || digit(at(text, stop));
            ++stop;
        }
        while (stop > start && (text[stop - 1] == '.' || text[stop - 1] == '-'))
            --stop;
    };
    scan();
    const std::string_view token = text.substr(start, stop - start);
    if (token.empty() || token.size() > 64 || !(alnum(at(text, start)) || at(text, start) >= 0x80))
        return end;
    if (id) {
        // A number, or letters and digits ("MB-0042"); a word ("quota") is none. A list joined
        // by commas alone ("mailbox=4711,4712") names one of them each: no id is a decimal.
        for (;;) {
            if (!number || !endsInList(text, stop) || stop - start > (letter ? 64 : 15))
                break;
            out.push_back({start, stop, Kind::Id, letter ? Shape::Name : Shape::Digits, 0});
            if (at(text, stop) != ',' || !alnum(at(text, stop + 1)))
                break;
            start = stop + 1;
            scan();
        }
    } else if (letter && !notAnAccount(token) && at(text, stop) != '\\') {
        // Before an "@" too: an e-mail address there is longer and wins; before a name of one
        // label or an address ("carol@localhost", "dave@10.9.9.8") the account is still one.
        out.push_back({start, stop, Kind::User, Shape::Name, 0});
    }
    return end;
}

} // namespace obfuscation::rules
