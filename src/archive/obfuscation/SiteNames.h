#pragma once

#include "archive/obfuscation/Scanner.h"

#include <QString>

#include <string>
#include <vector>

class Program;

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
// be used, for the file or a line (a word shorter than three characters).
void readSiteWords(const QString &path, SiteNames &names);

// This computer's names, and the hosts and accounts named where the program can see them.
void addOwnNames(Program &program, SiteNames &names);

} // namespace obfuscation
