// The rules of the values that the words before them name: telephone numbers and extensions,
// mailbox and subscriber ids, user names.
#include "archive/obfuscation/Characters.h"
#include "archive/obfuscation/Rules.h"

#include <algorithm>
#include <string>
#include <vector>

namespace obfuscation::rules {

using namespace chars;

namespace {

// Where the value after a naming word starts: blanks, then at most one of "=:#" and blanks; or
// right after the word, the end of an element's tag ("<caller>4930123456</caller>"), or with
// `opening` a bracket ("CLI[4930123456]"). Nothing when no separator follows the word (a longer
// word, such as "users").
size_t valueAfter(std::string_view text, size_t word, bool dot, bool opening)
{
    size_t i = word;
    if (at(text, i) == '>' || (opening && (at(text, i) == '[' || at(text, i) == '(')))
        return i + 1;
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

// The words that name the value after them, by trigger; "calling", "called", "redirecting",
// "dialed" and "account" only with a qualifier ("calling party", "called number", "account
// name").
const std::vector<std::string_view> &namingWords(unsigned trigger)
{
    static const std::vector<std::string_view> phone{
        "caller", "callee",    "calling", "called", "redirecting", "dialed", "dialled",
        "phone",  "telephone", "tel",     "fax",    "mobile",      "cell",   "ani",
        "dnis",   "cli",       "clid",    "msisdn", "cgpn",        "cdpn"};
    static const std::vector<std::string_view> extension{"ext", "extension"};
    static const std::vector<std::string_view> id{"mailbox", "mbx", "subscriber", "subscr"};
    static const std::vector<std::string_view> user{"user",      "username", "userid",
                                                    "login",     "logon",    "owner",
                                                    "principal", "account",  "samaccountname"};
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
    const std::string small = chars::lowered(word);
    const std::vector<std::string_view> all = namingWords();
    return std::find(all.begin(), all.end(), small) != all.end();
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
    // The directory's key for an account: its capitals begin no words.
    constexpr std::string_view directoryKey = "samaccountname";
    if (trigger == TriggerUserWord && end >= directoryKey.size() &&
        !word(at(text, end - directoryKey.size() - 1)) &&
        wordAt(text, end - directoryKey.size(), directoryKey))
        return end;
    // Where camel case begins a word ("mobilePhone", "TargetUserName").
    const auto camelAt = [&](size_t w) { return upper(at(text, w)) && lower(at(text, w - 1)); };
    size_t begin = end;
    // No word looked for is longer than 12 letters: in a long run of letters this stays short.
    while (begin > 0 && end - begin <= 12 && alpha(at(text, begin - 1)) &&
           !(begin < end && camelAt(begin)))
        --begin;
    // The word may also end a longer key: in camel case, or after '_' ("auth_user_name").
    const bool joined = begin > 0 && (at(text, begin - 1) == '_' || camelAt(begin));
    // A qualifier may also follow in camel case ("subscriberId", "userName").
    const bool camel = camelAt(end);
    if ((begin > 0 && word(at(text, begin - 1)) && !joined) || (alnum(at(text, end)) && !camel))
        return std::string_view::npos;
    // In small letters, in place: this runs at every naming word's match.
    char foundLetters[12];
    const std::string_view found = lowered(text.substr(begin, end - begin), foundLetters);
    const auto &words = namingWords(trigger);
    if (std::find(words.begin(), words.end(), found) == words.end())
        return std::string_view::npos;
    // Where a qualifier starting at `from` (past one blank, '_' or '-' unless in `camelCase`)
    // ends: at what is no letter or digit, or where camel case begins the next
    // ("calledPartyNumber").
    const auto qualifierEnd = [&](size_t from, bool camelCase) {
        const unsigned char c = at(text, from);
        const size_t i = from + (!camelCase && (c == ' ' || c == '_' || c == '-'));
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
        // Two, as signalling names a number: "Called party number", "caller id no".
        const size_t second =
            trigger == TriggerPhoneWord ? qualifierEnd(qualified, false) : std::string_view::npos;
        return second != std::string_view::npos ? second : qualified;
    }
    // At the end of a longer key, only a word that names nothing else: "mobilePhone=", "ipPhone:",
    // "VoiceMailbox=". Without its qualifier "lastLogin", "lockOwner", "numSubscriber",
    // "mgmt_cli" and "file_ext" name a time, a thread, a count, a port.
    // After '_', "user" names an account too ("auth_user=", "db_user=").
    const bool alone = !joined || found == "phone" || found == "caller" || found == "callee" ||
                       found == "msisdn" || found == "mailbox" ||
                       (found == "user" && at(text, begin - 1) == '_');
    const bool qualified = found == "calling" || found == "called" || found == "redirecting" ||
                           found == "dialed" || found == "dialled" || found == "account";
    return camel || !alone || qualified ? std::string_view::npos : end;
}

} // namespace

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
    size_t value =
        valueAfter(text, end, trigger == TriggerExtensionWord, trigger == TriggerPhoneWord);
    if (value == std::string_view::npos)
        return end;
    // A number in quotes ("caller=\"4711\"", "{\"ani\":\"2125550100\"}"); ids and names see
    // to their quotes themselves.
    if ((trigger == TriggerPhoneWord || trigger == TriggerExtensionWord) &&
        (at(text, value) == '"' || at(text, value) == '\''))
        ++value;
    if (trigger == TriggerPhoneWord) {
        const size_t start = value + (at(text, value) == '+');
        const Digits number = groups(text, start, 1, true, 3, 15);
        // In brackets, the number is all they hold.
        const unsigned char opened = at(text, value - 1);
        const unsigned char closing = opened == '[' ? ']' : opened == '(' ? ')' : 0;
        if (number.count > 0 && (closing == 0 || at(text, number.end) == closing))
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
    if (token.empty() || token.size() > longestAccount ||
        !(alnum(at(text, start)) || at(text, start) >= 0x80))
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
    } else if (letter && !notAnAccount(token) && !namingWord(token) && at(text, stop) != '\\') {
        // Before an "@" too: an e-mail address there is longer and wins; before a name of one
        // label or an address ("carol@localhost", "dave@10.9.9.8") the account is still one.
        out.push_back({start, stop, Kind::User, Shape::Name, 0});
    }
    return end;
}

size_t folderOwner(std::string_view text, size_t end, std::vector<Token> &out)
{
    // The folder's name, a whole one: after a separator, and before the one the trigger ends
    // with.
    size_t w = end - 1;
    while (w > 0 && alpha(at(text, w - 1)))
        --w;
    const auto named = [&](std::string_view folder) {
        return w + folder.size() == end - 1 && wordAt(text, w, folder);
    };
    const bool accounts = named("home") || named("users");
    if (w == 0 || (text[w - 1] != '/' && text[w - 1] != '\\') ||
        !(accounts || named("mailbox") || named("mailboxes") || named("subscribers")))
        return end;
    // A path in JSON doubles its backslashes ("C:\\\\Users\\\\jsmith").
    const size_t start = end + (text[end - 1] == '\\' && at(text, end) == '\\');
    size_t stop = start;
    bool letter = false;
    bool number = false;
    while (alnum(at(text, stop)) || at(text, stop) >= 0x80 || at(text, stop) == '_' ||
           at(text, stop) == '-') {
        letter = letter || alpha(at(text, stop)) || at(text, stop) >= 0x80;
        number = number || digit(at(text, stop));
        ++stop;
    }
    // The whole of the next folder, or the path's end: "/home/index.html" names a page.
    const unsigned char next = at(text, stop);
    if (stop == start || stop - start > longestAccount || next == '.' || next == ':' || next == '@')
        return stop;
    const std::string_view name = text.substr(start, stop - start);
    if (accounts && letter && !notAnAccount(name) && !namingWord(name))
        out.push_back({start, stop, Kind::User, Shape::Name, 0});
    else if (!accounts && number && (letter || stop - start <= 15))
        out.push_back({start, stop, Kind::Id, letter ? Shape::Name : Shape::Digits, 0});
    return stop;
}

} // namespace obfuscation::rules
