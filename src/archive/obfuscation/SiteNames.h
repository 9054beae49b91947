#pragma once

#include "archive/obfuscation/Scanner.h"

#include <QString>

#include <string>
#include <vector>

class Registry;
class WorkStationInfo;

namespace obfuscation {

// What this site calls its own, that the rules alone would not find: words and patterns of the
// administrator's, this computer's names, the hosts the served product's registry names and the
// accounts of people on this computer.
struct SiteNames {
    std::vector<Scanner::Literal> literals;
    std::vector<std::string> patterns;
    // The words and patterns taken from the administrator's file.
    int siteWords = 0;
};

// The administrator's words file: one word (or words with blanks between them) a line, a line
// "re:PATTERN" a pattern, blank lines and lines beginning with '#' left out. The file must be
// private (see PrivateFile.h): it names what is to be hidden. Throws Failure saying why it cannot
// be used, for the file or a line (a word shorter than three characters, or one the rules look
// for before a value).
void readSiteWords(const QString &path, SiteNames &names);

// Whether an account names a person whose name is to be hidden: not the system's own (below
// 1000, and nobody), not shorter than three characters, and not named like a word the rules
// look for ("user"), which replaced would hide the values after that word.
bool personalAccount(std::string_view name, unsigned uid);

// This computer's names, and the hosts and accounts named where the program can see them.
void addOwnNames(const WorkStationInfo &workstation, const Registry &registry, SiteNames &names);

} // namespace obfuscation
