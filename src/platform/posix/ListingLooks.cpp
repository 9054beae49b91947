#include "platform/posix/ListingLooks.h"

#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Small enough that the two threads end a block together, large enough that taking one is rare
// next to the looks it holds.
constexpr size_t chunk = 64;

} // namespace

ListingLooks::~ListingLooks()
{
    {
        const std::lock_guard guard(m_lock);
        m_ending = true;
    }
    m_work.notify_all();
    if (m_helper.joinable())
        m_helper.join();
}

void ListingLooks::start(std::vector<QByteArray> names, bool full)
{
    {
        const std::lock_guard guard(m_lock);
        Queued &queued = m_blocks.emplace_back();
        queued.block.facts.resize(names.size());
        queued.block.names = std::move(names);
    }
    if (full && !m_helper.joinable() && !m_alone) {
        try {
            m_helper = std::thread([this] { help(); });
        } catch (const std::system_error &) {
            m_alone = true;
        }
    }
    m_work.notify_one();
}

bool ListingLooks::lookAtChunk(std::unique_lock<std::mutex> &lock, Queued *only)
{
    Queued *queued = only;
    if (!queued) {
        for (Queued &candidate : m_blocks)
            if (candidate.claimed < candidate.block.names.size()) {
                queued = &candidate;
                break;
            }
    }
    const size_t count = queued ? queued->block.names.size() : 0;
    if (!queued || queued->claimed == count)
        return false;
    const size_t from = queued->claimed;
    const size_t to = std::min(count, from + chunk);
    queued->claimed = to;
    // A queued block stays where it is until every claimed chunk of it is looked at, and each
    // chunk's names and facts are touched by the thread that claimed it alone.
    lock.unlock();
    Block &block = queued->block;
    const uid_t me = ::geteuid();
    for (size_t i = from; i < to; ++i) {
        struct stat st;
        if (::fstatat(m_folderFd, block.names[i].constData(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            block.facts[i] = {true,
                              S_ISREG(st.st_mode),
                              qint64(st.st_size),
                              st.st_mtim,
                              quint64(st.st_blocks) * 512 >= quint64(st.st_size),
                              st.st_uid == me && st.st_nlink == 1};
    }
    lock.lock();
    queued->looked += to - from;
    if (queued->looked == count)
        m_looked.notify_all();
    return true;
}

void ListingLooks::help()
{
    std::unique_lock lock(m_lock);
    while (!m_ending) {
        if (!lookAtChunk(lock, nullptr))
            m_work.wait(lock);
    }
}

ListingLooks::Block ListingLooks::finish()
{
    std::unique_lock lock(m_lock);
    Queued &oldest = m_blocks.front();
    while (lookAtChunk(lock, &oldest)) {
    }
    m_looked.wait(lock, [&] { return oldest.looked == oldest.block.names.size(); });
    Block block = std::move(oldest.block);
    m_blocks.pop_front();
    return block;
}
