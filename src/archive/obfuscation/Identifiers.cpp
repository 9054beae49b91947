#include "archive/obfuscation/Identifiers.h"

#include "archive/obfuscation/Characters.h"
#include "archive/obfuscation/Rules.h"

#include <algorithm>

namespace obfuscation {

using namespace chars;

const char *triggerExpression(unsigned trigger)
{
    // Each as cheap to scan for as it can be: the rules look at the whole token.
    static const char *const expressions[triggerCount] = {
        R"(\d\.\d{1,3}\.\d)",
        // A repeat of 1 to 4 digits after every colon of every time of day costs a third of the
        // whole scan: MAC addresses' groups are two digits, and an IPv6 address written in full
        // has two groups of four in a row, two of zero, or six inner groups, which no time has.
        R"(:[0-9A-Fa-f]{2}:[0-9A-Fa-f]{2}:[0-9A-Fa-f]{2}:)",
        R"([0-9A-Fa-f]{4}:[0-9A-Fa-f]{4}:|:[0-9A-Fa-f]{1,4}:[0-9A-Fa-f]{1,4}:[0-9A-Fa-f]{1,4})"
        R"(:[0-9A-Fa-f]{1,4}:[0-9A-Fa-f]{1,4}:)",
        R"(:0:0:)",
        R"(::)",
        R"(-[0-9A-Fa-f]{2}-[0-9A-Fa-f]{2}-)",
        R"([0-9A-Fa-f]{4}\.[0-9A-Fa-f]{4}\.)",
        // Also as JSON and URLs escape it.
        R"(@|\\u0040|%40)",
        R"([A-Za-z0-9]\.[A-Za-z]{2})",
        R"(\+\d|%2[Bb]\d)",
        // After a blank, an opening mark or a field's delimiter only, or first in the text (a piece
        // begins a line): a 0 after '-', ':' or '.' is a date's or a time's, and not a time's
        // hours either (" 09:41"). The delimiters as two-byte literals: in the class they would
        // cost the whole scan a third more.
        R"((?:^|[ (=\t\n"'<])0\d[\d ./)-]|(?:,0|;0|\|0|>0|\[0|\{0)\d[\d ./)-])",
        R"([ .)-]\d{3}[ .-]\d{4})",
        // Also with the backslash doubled, as JSON writes it ("CORP\\\\bsmith").
        R"([A-Z0-9]\\\\?[A-Za-z])",
        // The naming words, in any case and anywhere: the rules see that each is a word of its own.
        R"((?i)(?:caller|callee|calling|called|redirecting|dialed|dialled|phone|telephone|tel|fax)"
        R"(|mobile|cell|ani|dnis|cli|clid|msisdn|cgpn|cdpn))",
        R"((?i)(?:ext|extension))",
        R"((?i)\bx\d)",
        R"((?i)(?:mailbox|mbx|subscriber|subscr))",
        R"((?i)(?:user|username|userid|login|logon|owner|principal|account|samaccountname))",
        R"(/home/|/users/|/Users/|\\Users\\|/mailbox/|/mailboxes/|/subscribers/)",
    };
    return expressions[trigger];
}

size_t recognize(unsigned trigger, std::string_view text, size_t end, std::vector<Token> &out)
{
    switch (trigger) {
    case TriggerIPv4:
        return rules::ipv4(text, end, out);
    case TriggerColons:
    case TriggerFullIPv6:
    case TriggerZeroGroups:
    case TriggerDoubleColon:
        return rules::colons(text, end, out);
    case TriggerMacDashes:
        return rules::macWithDashes(text, end, out);
    case TriggerMacDots:
        return rules::macWithDots(text, end, out);
    case TriggerAt:
        return rules::email(text, end, out);
    case TriggerDomain:
        return rules::domain(text, end, out);
    case TriggerPlus:
        return rules::international(text, end, out);
    case TriggerNational:
        return rules::national(text, end, out);
    case TriggerNanp:
        return rules::nanp(text, end, out);
    case TriggerBackslash:
        return rules::domainUser(text, end, out);
    case TriggerFolder:
        return rules::folderOwner(text, end, out);
    default:
        return rules::afterWord(trigger, text, end, out);
    }
}

bool literalStandsAlone(std::string_view text, size_t begin, size_t end, Kind kind)
{
    // A host or account named on its own is not one with more after a hyphen. A site's word is
    // one of its own between underscores too, before or after digits, and where camel case begins
    // a word ("contoso_prod", "data_Contoso_1.log", "contoso01", "ContosoVM", "myContoso"): the
    // administrator listed it to be kept out wherever it stands.
    const auto joins = [&](unsigned char inside, unsigned char outside, bool camel) {
        if (kind == Kind::Word)
            return word(inside) && word(outside) && outside != '_' &&
                   !(alpha(inside) && digit(outside)) && !camel;
        return word(inside) && (word(outside) || outside == '-');
    };
    const unsigned char first = at(text, begin);
    const unsigned char last = at(text, end - 1);
    const unsigned char before = begin > 0 ? at(text, begin - 1) : 0;
    const unsigned char after = at(text, end);
    return !(begin > 0 && joins(first, before, lower(before) && upper(first))) &&
           !joins(last, after, lower(last) && upper(after));
}

void keepLeftmostLongest(std::vector<Token> &tokens)
{
    std::sort(tokens.begin(), tokens.end(), [](const Token &a, const Token &b) {
        if (a.begin != b.begin)
            return a.begin < b.begin;
        if (a.end != b.end)
            return a.end > b.end;
        return a.rank < b.rank;
    });
    size_t kept = 0;
    size_t reached = 0;
    for (const Token &token : tokens) {
        if (kept > 0 && token.begin < reached)
            continue;
        tokens[kept++] = token;
        reached = token.end;
    }
    tokens.resize(kept);
}

void labelParts(std::string_view token, std::vector<Part> &parts)
{
    parts.clear();
    size_t start = 0;
    const size_t at = token.find('@');
    if (at != std::string_view::npos) {
        parts.push_back({0, at});
        start = at + 1;
    }
    // Every label but the last: the top-level domain says nothing of the site.
    for (size_t dot = token.find('.', start); dot != std::string_view::npos;
         dot = token.find('.', start)) {
        parts.push_back({start, dot});
        start = dot + 1;
    }
}

} // namespace obfuscation
