#pragma once

#include <QByteArray>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include <ctime>

// What a listing keeps of an entry it looked at (lstat through the open folder).
struct ListingFacts {
    bool seen = false;
    bool regular = false;
    qint64 size = 0;
    timespec modified{};
    // Its blocks covered its size: no hole (see File::HoleFree).
    bool holeFree = false;
    // This account's, with no other name (see File::Ours).
    bool ours = false;
};

// The looks at a folder's names, block by block, on the listing's thread and one helper. In a
// folder of many thousands of logs a look costs more than reading the name and making the file
// together: the helper looks at the blocks already read while the listing's thread reads the next
// one and makes the files of the one before, and both share what is left of a block.
class ListingLooks {
public:
    struct Block {
        std::vector<QByteArray> names;
        std::vector<ListingFacts> facts;
    };

    explicit ListingLooks(int folderFd)
        : m_folderFd(folderFd)
    {
    }
    // Stops the helper (what it was looking at is dropped) and waits for it.
    ~ListingLooks();
    ListingLooks(const ListingLooks &) = delete;
    ListingLooks &operator=(const ListingLooks &) = delete;

    // Queues a block of names to be looked at; returns at once. The helper starts with the first
    // block queued as `full` (the caller's, when more names may follow): a folder listed in one
    // short block is looked at on the caller's thread, as is every block when no thread can be
    // started.
    void start(std::vector<QByteArray> names, bool full);
    // Looks at what is left of the oldest queued block, waits for the helper's part of it and
    // gives it back with its facts. Only when a block is queued.
    Block finish();
    // Only the caller's thread adds or removes blocks, so it may count them without the lock.
    size_t queued() const { return m_blocks.size(); }

private:
    struct Queued {
        Block block;
        size_t claimed = 0;
        size_t looked = 0;
    };
    // Claims and looks at one chunk of the first block with names left; false when none has.
    bool lookAtChunk(std::unique_lock<std::mutex> &lock, Queued *only);
    void help();

    const int m_folderFd;
    std::mutex m_lock;
    std::condition_variable m_work;
    std::condition_variable m_looked;
    std::deque<Queued> m_blocks;
    bool m_ending = false;
    bool m_alone = false;
    std::thread m_helper;
};
