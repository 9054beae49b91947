#pragma once

#include <QString>
#include <QStringList>

#include <cstdio>
#include <memory>

namespace obfuscation {
class Obfuscator;
class StandInMap;
// What turns the stand-ins of `map` back: the rules, and the stand-ins of the names that were
// found as words of their own.
std::shared_ptr<const Obfuscator> revealerOf(std::shared_ptr<StandInMap> map);
} // namespace obfuscation

// "--reveal [TEXT... | --file PATH]": writes the text (the words given, joined by blanks; the
// file; or standard input), every stand-in this computer gave in it replaced by its value, to
// `out`. Returns the exit status: 0, 1 when the stand-ins cannot be read, 2 for a usage mistake
// (said on `err`). `executablePath` names the program whose settings folder keeps them.
int revealStandIns(const QStringList &options, const QString &commandName,
                   const QString &executablePath, std::FILE *in, std::FILE *out, std::FILE *err);
