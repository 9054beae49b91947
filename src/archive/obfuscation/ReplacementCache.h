#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

namespace obfuscation {

// What the workers replaced, so that a token met again costs one look: open-addressed tables of
// cells of half or one cache line, the token and its replacement kept in the cell (a table of
// nodes costs a cache miss for the bucket, the node and the key each). One for all the workers
// of a run, without a lock: a cell is claimed by one compare-and-swap, filled, then marked
// ready, so a reader sees it whole or passes it by. Short tokens (numbers, ids) have a table of
// their own; tokens longer than 28 bytes are not kept. Bounded (8 MiB and 2 MiB): a table three
// quarters full takes no more.
class ReplacementCache {
public:
    ReplacementCache();
    ~ReplacementCache();
    // The replacement of `token` of `kind` (its shape and how it was found), if kept; the
    // view stays good as long as the cache does.
    std::optional<std::string_view> find(uint8_t kind, std::string_view token) const;
    // Asks for the memory `token`'s find will look at: a look that waits on memory costs more
    // than the rest of a token's work, and several can be on their way at once.
    void prefetch(std::string_view token) const;
    void add(uint8_t kind, std::string_view token, std::string_view replacement);

private:
    template <size_t longest, size_t count> struct Table {
        struct Cell {
            // 0 free, 2 being filled, else the token's hash (odd).
            std::atomic<uint32_t> mark;
            uint8_t kind;
            uint8_t tokenLength;
            uint8_t replacementLength;
            uint8_t unused;
            char token[longest];
            char replacement[longest];
        };
        static_assert((sizeof(Cell) & (sizeof(Cell) - 1)) == 0, "a cell fills a part of a line");
        std::unique_ptr<Cell[]> cells{new Cell[count]()};
        std::atomic<size_t> used{0};
        std::optional<std::string_view> find(uint8_t kind, std::string_view token,
                                             uint64_t hash) const;
        void add(uint8_t kind, std::string_view token, uint64_t hash, std::string_view replacement);
    };
    static constexpr size_t shortCount = 1 << 18;
    static constexpr size_t longCount = 1 << 15;
    Table<12, shortCount> m_short;
    Table<28, longCount> m_long;
};

} // namespace obfuscation
