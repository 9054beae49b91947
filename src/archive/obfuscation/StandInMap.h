#pragma once

#include "archive/obfuscation/Identifiers.h"
#include "archive/obfuscation/KnownValues.h"
#include "archive/obfuscation/NumberPermutation.h"

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

struct evp_mac_ctx_st;

namespace obfuscation {

// The kinds of values that share stand-ins. A name is one whether it is a label of a host, the
// local part of an address, an account or a word of the site's: the same name gets the same
// stand-in wherever it stands.
enum class Space : uint8_t {
    IPv4,
    IPv4Net24, // the first three numbers: their stand-ins keep a network's addresses together
    IPv4Net16,
    IPv6,
    IPv6Net64,
    IPv6Net48,
    Mac,
    Number,
    Name,
    count
};

// Every value given a stand-in on this computer, with it: consistent stand-ins in every run,
// and the way back for --reveal. A number's stand-in is a keyed permutation of its shape's
// numbers; any other stand-in is drawn from a keyed hash of the value (HMAC-SHA256 with this
// computer's secret) in the value's shape, and one already taken by another value is never given
// again (the next draw, then the next free one in order). So two values never share one.
// Safe to use from several threads at once.
class StandInMap {
public:
    explicit StandInMap(std::string secret);
    ~StandInMap();

    // Takes in what `save` wrote; throws Failure for a line that cannot be read.
    void load(std::string_view records);
    // Every record, one a line.
    std::string save() const;
    // Whether values were added since the map was made or loaded.
    bool changed() const;
    size_t valueCount() const;

    // The stand-in of a value, made the first time it is asked for. Each throws Failure when
    // no stand-in of the value's shape is left.
    //
    // A name, in lower case: letters stay letters (a byte of 0x80 or more becomes one too),
    // digits stay digits, everything else stays.
    std::string name(std::string_view lowered, Found found);
    // Digits: leading zeros stay, the first other digit stays non-zero; a keyed permutation of
    // the numbers of that shape (see NumberPermutation).
    std::string number(std::string_view digits);
    // In 240.0.0.0/4 (reserved), /16 and /24 networks kept together, .0 and .255 kept. An
    // address written otherwise than in its usual way gives its `spelling`: it has a stand-in of
    // its own (in the same networks), so that --reveal gives each spelling back.
    uint32_t ipv4(uint32_t address, std::string_view spelling = {});
    // In 2001:db8::/32 (documentation), /48 and /64 networks kept together.
    std::array<uint8_t, 16> ipv6(const std::array<uint8_t, 16> &address,
                                 std::string_view spelling = {});
    // Locally administered, group bit kept.
    uint64_t mac(uint64_t address, std::string_view spelling = {});

    // The value whose stand-in this is: a name (in lower case) or a number...
    std::optional<std::string> original(Space space, std::string_view standIn) const;
    // ... or an address.
    std::optional<uint32_t> originalIpv4(uint32_t standIn) const;
    std::optional<std::array<uint8_t, 16>>
    originalIpv6(const std::array<uint8_t, 16> &standIn) const;
    std::optional<uint64_t> originalMac(uint64_t standIn) const;
    // An address written otherwise than its canonical text: the stand-in as written, and the
    // original as written.
    void spell(Space space, std::string standIn, std::string original);
    std::optional<std::string> spelling(Space space, std::string_view standIn) const;
    // The stand-ins of names found as words of their own or by a pattern; `within` for those a
    // pattern found, which may stand inside a longer word.
    struct LiteralStandIn {
        std::string text;
        bool within;
    };
    std::vector<LiteralStandIn> literalStandIns() const;

private:
    struct Table {
        std::unordered_map<std::string, std::string> forward;
        // By stand-in: views of `forward`'s strings, whose nodes never move.
        std::unordered_map<std::string_view, std::string_view> reverse;
        std::unordered_map<std::string, std::string> spellings;
    };
    class Draws;
    // The stand-in of `key` in `space`: what it has, or the first draw not taken.
    // `draw` makes a candidate from the draws, or (without draws) the next one in order after
    // `previous`; empty when there is no order to follow.
    // Called with `lock` held; lets it go while the first candidate is drawn.
    std::string
    allocate(std::unique_lock<std::mutex> &lock, Space space, const std::string &key,
             const std::function<std::string(Draws *, const std::string &previous)> &draw);
    void add(Space space, std::string key, std::string standIn);
    static const char *tagOf(Space space);

    // HMAC-SHA256, keyed with the secret (which is wiped once it is set up).
    evp_mac_ctx_st *m_keyed = nullptr;
    mutable std::mutex m_mutex;
    std::array<Table, size_t(Space::count)> m_tables;
    // The names found as words or by a pattern, each with whether a pattern found it (within
    // words too).
    std::unordered_map<std::string, bool> m_literals;
    bool m_changed = false;
    // The names and numbers already given, read without the lock.
    KnownValues m_known;
    std::unique_ptr<NumberPermutation> m_numbers;
};

} // namespace obfuscation
