// The rules of telephone numbers written as such: international, national and North American.
#include "archive/obfuscation/Characters.h"
#include "archive/obfuscation/Rules.h"

#include <vector>

namespace obfuscation::rules {

using namespace chars;

namespace {

// The digits of a number dialled abroad, after its '+' or "00".
constexpr int fewestAbroad = 8;
constexpr int mostAbroad = 15;

// Whether a dotted quad of numbers of 1 to 3 digits begins at `i`.
bool addressAt(std::string_view text, size_t i)
{
    for (int part = 0; part < 4; ++part, ++i) {
        const size_t stop = digitRun(text, i);
        if (stop == i || stop - i > 3 || (part < 3 && at(text, stop) != '.'))
            return false;
        i = stop;
    }
    return true;
}

bool separator(unsigned char c)
{
    return c == ' ' || c == '.' || c == '-' || c == '/';
}

// Whether what comes before `begin` lets a number start there.
bool startsAlone(std::string_view text, size_t begin)
{
    const unsigned char before = begin > 0 ? at(text, begin - 1) : ' ';
    return !word(before) && before != '+' && before != '.' && before != ':' && before != '/' &&
           before != '-' && before != ',';
}

} // namespace

bool endsAlone(std::string_view text, size_t end)
{
    const unsigned char next = at(text, end);
    return !word(next) &&
           !((next == '.' || next == ':' || next == ',') && digit(at(text, end + 1)));
}

bool endsInList(std::string_view text, size_t end)
{
    return endsAlone(text, end) || (at(text, end) == ',' && digit(at(text, end + 1)));
}

Digits groups(std::string_view text, size_t i, int shortest, bool parenthesisLater, int fewest,
              int most, bool listed)
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
        // A group that runs on into a word or a time belongs to that, and one that begins an
        // address ("0012 10.20.30.40") to the address.
        if ((!parenthesis && word(next)) || (next == ':' && digit(at(text, j + 1))) ||
            (group > 0 && at(text, first - 1) != '.' && addressAt(text, first)))
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

size_t digitRun(std::string_view text, size_t i)
{
    while (digit(at(text, i)))
        ++i;
    return i;
}

size_t international(std::string_view text, size_t end, std::vector<Token> &out)
{
    // The '+' may be written as a URL writes it ("?phone=%2B4930123456"); the number is then
    // the digits alone, "%2B" is no part of it.
    const bool encoded = at(text, end - 2) != '+';
    const size_t plus = end - (encoded ? 4 : 2);
    // After anything but a word or another '+': no time, ratio or decimal goes on with a '+'
    // ("sip:+4930123456@...", "numbers=+4930111222,+4930111333", "route /+4930111444").
    const unsigned char before = plus > 0 ? at(text, plus - 1) : ' ';
    if (word(before) || before == '+' || at(text, end - 1) == '0')
        return end;
    const Digits number = groups(text, end - 1, 1, true, fewestAbroad, mostAbroad, true);
    if (number.count > 0)
        out.push_back({encoded ? end - 1 : plus, number.end, Kind::Phone, Shape::Digits, 2});
    return end;
}

size_t national(std::string_view text, size_t end, std::vector<Token> &out)
{
    // The trigger ends after "0", a digit and one more.
    size_t start = end - 3;
    if (start > 0 && at(text, start - 1) == '(')
        --start;
    // A field of a record ("4711,0301234567"): a decimal with nine places or more, the first 0,
    // is taken for one.
    if (!(start > 0 && at(text, start - 1) == ',') && !startsAlone(text, start))
        return end;
    // "00" for '+', as most of the world dials abroad ("0049 30 1234567"): 8 to 15 digits after
    // it, the first 1-9.
    if (at(text, end - 2) == '0') {
        const Digits number =
            digit(at(text, end - 1)) && at(text, end - 1) != '0'
                ? groups(text, start, 2, true, fewestAbroad + 2, mostAbroad + 2, true)
                : Digits{};
        // Groups of four digits alone are a dump's ("0016 8080 0000 0000"), not a number's.
        size_t fours = 0;
        size_t others = 0;
        for (size_t i = start; i < number.end; i = digitRun(text, i) + 1)
            ++(digitRun(text, i) - i == 4 ? fours : others);
        if (number.count > 0 && (fours < 2 || others > 0))
            out.push_back({start, number.end, Kind::Phone, Shape::Digits, 2});
        return end;
    }
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

} // namespace obfuscation::rules
