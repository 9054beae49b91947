#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

namespace obfuscation {

// What a worker replaced, so that a value met again costs one look: open-addressed tables of
// cells of half or one cache line, the token and its replacement kept in the slot (a table of
// nodes costs a cache miss for the bucket, the node and the key each). Short tokens (numbers, ids)
// have a table of their own; tokens longer than 28 bytes are not kept. A table grows with what it
// holds, up to 4 MiB (the short one) and 1 MiB; one that is full starts afresh.
class ReplacementCache {
public:
    // The replacement of `token` of `kind` (shape and whether found as a literal), if kept.
    std::optional<std::string_view> find(uint8_t kind, std::string_view token, uint64_t hash) const;
    void add(uint8_t kind, std::string_view token, uint64_t hash, std::string_view replacement);
    static uint64_t hashOf(std::string_view token);

private:
    template <size_t longest, size_t most> struct Table {
        struct Slot {
            uint32_t hash;
            uint8_t used;
            uint8_t kind;
            uint8_t tokenLength;
            uint8_t replacementLength;
            char token[longest];
            char replacement[longest];
        };
        static_assert((sizeof(Slot) & (sizeof(Slot) - 1)) == 0, "a slot fills a part of a line");
        std::unique_ptr<Slot[]> cells;
        size_t count = 0;
        size_t used = 0;
        std::optional<std::string_view> find(uint8_t kind, std::string_view token,
                                             uint64_t hash) const;
        void add(uint8_t kind, std::string_view token, uint64_t hash, std::string_view replacement);
        void place(const Slot &slot);
    };
    Table<12, 1 << 17> m_short;
    Table<28, 1 << 14> m_long;
};

} // namespace obfuscation
