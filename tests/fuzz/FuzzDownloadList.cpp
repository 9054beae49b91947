// The download list comes from the network: any text at all.
#include "update/UpdateCheck.h"

#include "common/Failure.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString document =
        QString::fromLatin1(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString version =
        publishedVersion(document, QStringLiteral("/Applications/Orvel/Sorvik/OrvelSorvik.html"));
    for (const QChar c : version)
        if (!c.isDigit() && c != QLatin1Char('.'))
            std::abort();
    try {
        padVersion(version);
    } catch (const Failure &) {
        // A version of four or more characters without a dot: told in a box by the caller.
    }
    return 0;
}
