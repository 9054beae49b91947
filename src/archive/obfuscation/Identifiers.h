#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace obfuscation {

// What a stand-in replaces, as the run log counts it.
enum class Kind : uint8_t { IPv4, IPv6, Host, Email, Mac, Phone, Id, User, Word, Count };
constexpr size_t kindCount = size_t(Kind::Count);

// How a name was found: by a rule, as a word of its own (a site word, an account) or by a site
// pattern, which matches within words too. --reveal looks for the last two where they were found.
enum class Found : uint8_t { ByRule, AsWord, ByPattern };

// How a token's stand-in is made from it.
enum class Shape : uint8_t {
    IPv4,       // a dotted quad
    IPv6,       // an IPv6 address
    Mac,        // six bytes in one of the three ways of writing them
    Digits,     // the digits change, what separates them stays
    Name,       // letters stay letters (and keep their case), digits stay digits
    Labels,     // a host name: each label a Name, the last one (the top-level domain) kept
    Email,      // a Name, "@", Labels
    DomainUser, // DOMAIN\user: two Names
};

// One identifier in a text: the bytes from `begin` to `end`.
struct Token {
    size_t begin;
    size_t end;
    Kind kind;
    Shape shape;
    // Of two tokens over the same bytes the lower rank wins: a value that the words before it
    // name (a mailbox id written like a telephone number) counts as what they name (0), an
    // address as an address (1) before a number's shape (2), a site's word (3) or pattern (4).
    uint8_t rank;
};

// What the scanner reports, each where its match ends; the rules find the whole token around
// that place, or nothing.
//
// Each is as cheap to scan for as it can be: a scanner's pass costs by the patterns that start
// with a class of characters, not by the matches (see docs/development.md).
enum Trigger : unsigned {
    TriggerIPv4,          // a digit, '.', digits, '.', a digit
    TriggerColons,        // :HH:HH:HH:, in a MAC address
    TriggerFullIPv6,      // HHHH:HHHH:, in an IPv6 address written in full
    TriggerZeroGroups,    // :0:0:, the same
    TriggerDoubleColon,   // "::", in every shortened IPv6 address
    TriggerMacDashes,     // -HH-HH-
    TriggerMacDots,       // HHHH.HHHH.
    TriggerAt,            // '@', or "\u0040" or "%40"
    TriggerDomain,        // a letter or digit, '.', two letters
    TriggerPlus,          // '+' or "%2B", and a digit
    TriggerNational,      // start, blank or opening mark, 0, a digit, a digit or separator
    TriggerNanp,          // a separator, DDD, a separator, DDDD
    TriggerBackslash,     // an upper-case letter or digit, '\', a letter
    TriggerPhoneWord,     // caller, phone, ANI... in any case, anywhere: the rules see to words
    TriggerExtensionWord, // ext, extension
    TriggerExtensionX,    // x and a digit
    TriggerIdWord,        // mailbox, subscriber
    TriggerUserWord,      // user, login, owner...
    TriggerFolder,        // home, users, mailboxes... and '/' or '\\': a folder of each account
    triggerCount
};

// The scanner's expression for each trigger, in the order above.
const char *triggerExpression(unsigned trigger);

// Finds the token the trigger at `end` belongs to and appends it to `out`, if the rules take
// it. Returns how far the rules looked: a later trigger of the same kind that ends there or
// before belongs to what was already looked at.
size_t recognize(unsigned trigger, std::string_view text, size_t end, std::vector<Token> &out);

// Whether a literal found from `begin` to `end` stands on its own: it does not go on into the
// letters, digits (or, for names of hosts and accounts, hyphens) around it.
bool literalStandsAlone(std::string_view text, size_t begin, size_t end, Kind kind);

// Keeps, of tokens that overlap, the one that begins first (then the longest, then the lowest
// rank), in text order.
void keepLeftmostLongest(std::vector<Token> &tokens);

// The parts of a host name or e-mail address that get stand-ins: each label but the last, and
// an address's local part. Positions are relative to `token`.
struct Part {
    size_t begin;
    size_t end;
};
void labelParts(std::string_view token, std::vector<Part> &parts);

} // namespace obfuscation
