#include "platform/posix/SmbListing.h"

#include <map>

namespace {
constexpr quint16 reparsePoint = 0x400;
} // namespace

SmbListing sortEntries(std::vector<SmbEntry> entries)
{
    std::map<quint64, int> names;
    for (const SmbEntry &entry : entries)
        if (entry.fileId != 0 && !entry.folder)
            ++names[entry.fileId];
    SmbListing listing;
    for (SmbEntry &entry : entries) {
        const bool secondName = entry.fileId != 0 && !entry.folder && names[entry.fileId] > 1;
        if (entry.folder || (entry.attributes & reparsePoint) || secondName)
            listing.others.push_back(entry.name);
        else
            listing.files.push_back(std::move(entry));
    }
    return listing;
}
