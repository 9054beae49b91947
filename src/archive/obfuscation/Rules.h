#pragma once

#include "archive/obfuscation/Identifiers.h"

#include <string_view>
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

// Whether the labels from `begin` to `end` make a host name: two or more labels of letters,
// digits and inner hyphens, the last one a top-level domain. `strict` for names found on their
// own, where the last label must also not be a file's extension (and, of two labels, a known
// top-level domain).
bool hostName(std::string_view text, size_t begin, size_t end, bool strict);

// Words after "user", "login"... that name no account (in any case).
bool notAnAccount(std::string_view word);

// The words the rules look for before a value ("user", "mailbox", "caller"...) and those that
// may stand between such a word and its value ("name", "id"), in small letters.
std::vector<std::string_view> namingWords();
// Whether `word` is one of them, in any case.
bool namingWord(std::string_view word);

} // namespace obfuscation::rules
