#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace obfuscation {

// The stand-ins already given, found without a lock: what every worker asks for a value it has
// not met yet. An open-addressed table of the map's own entries (value and stand-in), whose
// nodes never move; added to by one thread at a time (the map's, under its lock), read by any.
// A slot is filled first and marked last, so a reader sees it whole or not at all; a table that
// fills is replaced by one twice its size, and kept until the end, for readers still in it.
class KnownValues {
public:
    using Entry = std::pair<const std::string, std::string>;

    KnownValues();
    ~KnownValues();
    KnownValues(const KnownValues &) = delete;
    KnownValues &operator=(const KnownValues &) = delete;

    std::optional<std::string_view> find(uint8_t space, std::string_view key) const;
    // `entry` must outlive this; `space` below 128.
    void add(uint8_t space, const Entry &entry);
    // Room for `count` more, made at once: a map read in does not leave a trail of smaller
    // tables behind it.
    void reserve(size_t count);

private:
    // Sixteen bytes: the mark holds the space, so that one look at the entry settles it.
    struct Slot {
        std::atomic<uint64_t> mark{0};
        const Entry *entry = nullptr;
    };
    struct Table {
        explicit Table(size_t count)
            : cells(new Slot[count])
            , mask(count - 1)
        {
        }
        std::unique_ptr<Slot[]> cells;
        size_t mask;
        size_t used = 0;
    };
    static uint64_t markOf(uint8_t space, std::string_view key);
    static void place(Table &table, uint64_t mark, const Entry *entry);
    void grow(size_t count);

    std::atomic<Table *> m_current;
    std::vector<std::unique_ptr<Table>> m_tables;
};

} // namespace obfuscation
