#pragma once

// The reference of readable copies and its raw cases (tests/reference/), run with python3.
#include "support/TestEnvironment.h"

#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

#include <map>

namespace reference {

// Runs one of the scripts; its failure, with what it wrote on stderr, is a test failure.
inline QByteArray run(const QString &script, const QStringList &arguments)
{
    const Ran ran = runScript(QStringLiteral("reference/") + script, arguments);
    EXPECT_EQ(ran.status, 0) << script.toStdString() << ": " << ran.errors.toStdString();
    return ran.output;
}

// Writes the named raw cases (the whole table when none is named) into `folder` as diag_NAME.log.
inline void writeRawCases(const QString &folder, const QStringList &names = {})
{
    run(QStringLiteral("raw_cases.py"), QStringList{folder} + names);
}

// Compares the copies in `copies` (a folder of NAME.fmtd.txt, or a ZIP archive) with the
// reference of every diag_ file of `rawFolder`; every difference is a test failure. Gives the
// lines the formatter rejects in each raw file, by name. `withheld`: copies for a cleaned archive.
inline std::map<QString, int> expectReferenceCopies(const QString &rawFolder, const QString &copies,
                                                    bool withheld = false)
{
    const QByteArray out =
        run(QStringLiteral("compare_copies.py"),
            QStringList{rawFolder, copies} +
                (withheld ? QStringList{QStringLiteral("--withheld")} : QStringList{}));
    std::map<QString, int> rejected;
    for (const QByteArray &line : out.split('\n'))
        if (const qsizetype blank = line.lastIndexOf(' '); blank > 0)
            rejected[QString::fromUtf8(line.left(blank))] = line.mid(blank + 1).toInt();
    return rejected;
}

// The "(error)" lines a file with `rejected` lines the formatter rejects costs: one for each of the
// first 100, and one that counts the rest.
inline int errorLinesFor(int rejected)
{
    return std::min(rejected, 100) + (rejected > 100 ? 1 : 0);
}

} // namespace reference
