// A raw diagnostic line as the archive run treats it: cleaned, cut at 510 characters, decoded by
// the served product's formatter. Any bytes, any length.
#include "orvel_components.h"
#include "runlog/FolderUtilities.h"
#include "runlog/LineCleaner.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static void *const formatter = orvel_diag_formatter_create();
    const QString line = QString::fromLatin1(reinterpret_cast<const char *>(data), qsizetype(size));

    // Cleaning in pieces must give what cleaning the whole line gives.
    const QString whole = TrimLeadingControlChars(line);
    QString pieces;
    LineCleaner cleaner;
    for (qsizetype at = 0; at < line.size(); at += 7)
        cleaner.feed(QStringView(line).mid(at, 7), [&](QStringView kept) { pieces += kept; });
    if (pieces != whole)
        std::abort();

    const QByteArray cut = whole.left(510).toLatin1();
    char *text = nullptr;
    char *error = nullptr;
    size_t length = 0;
    const int status = orvel_diag_formatter_format_line(formatter, cut.constData(),
                                                        size_t(cut.size()), &text, &length, &error);
    if ((status == 0) != (text != nullptr) || (status != 0 && !error))
        std::abort();
    orvel_free(text);
    orvel_free(error);
    return 0;
}
