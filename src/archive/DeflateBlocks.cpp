#include "archive/DeflateBlocks.h"

#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <stdexcept>

namespace {

// A table entry: how many bits a symbol takes with the extra bits that follow it, and what it is.
constexpr uint32_t bitsMask = 63;
constexpr uint32_t isMatch = 64;
constexpr uint32_t isEnd = 128;
constexpr uint32_t isInvalid = 256;
// A code longer than the first table's index goes on in a second table: where, in the bits above.
constexpr uint32_t isLink = 512;
constexpr unsigned linkShift = 10;

[[noreturn]] void malformed()
{
    throw std::logic_error("a compressed piece is not one whole deflate stream");
}

// The stream's bits, lowest first, 64 at a time.
class BitReader {
public:
    BitReader(const unsigned char *data, size_t length)
        : m_start(data)
        , m_next(data)
        , m_end(data + length)
    {
    }

    // Afterwards at least 56 bits are at hand. Past the end they are zeros, counted, so that a
    // stream that claims more than there is fails its length check instead of reading on.
    void refill()
    {
        if (m_end - m_next >= 8) {
            load();
            return;
        }
        while (m_count <= 56) {
            if (m_next < m_end)
                m_bits |= uint64_t(*m_next++) << m_count;
            else if (++m_padding > 16)
                malformed();
            m_count += 8;
        }
    }
    uint64_t peek() const { return m_bits; }
    void drop(unsigned n)
    {
        m_bits >>= n;
        m_count -= n;
    }
    unsigned take(unsigned n)
    {
        const unsigned value = unsigned(m_bits & ((uint64_t(1) << n) - 1));
        drop(n);
        return value;
    }
    size_t position() const { return size_t(m_next - m_start) * 8 + m_padding * 8 - m_count; }
    void alignToByte() { drop(m_count & 7); }
    // Skips `n` bytes; only at a byte boundary.
    void skipBytes(size_t n)
    {
        if (n * 8 <= m_count) {
            drop(unsigned(n * 8));
            return;
        }
        n -= m_count / 8;
        m_bits = 0;
        m_count = 0;
        if (m_padding || size_t(m_end - m_next) < n)
            malformed();
        m_next += n;
    }

    // Skips the symbols of a block while 8 more bytes can be loaded at once, the reader's state in
    // registers; stops at the end of the block, leaving its symbol to the caller.
    template <typename Literals, typename Distances>
    void skipWhileFar(const Literals &literals, const Distances &distances)
    {
        const unsigned char *next = m_next;
        uint64_t bits = m_bits;
        unsigned count = m_count;
        while (m_end - next >= 8) {
            uint64_t word;
            std::memcpy(&word, next, 8);
            bits |= word << count;
            next += (63 - count) >> 3;
            count |= 56;
            const uint32_t e = literals.lookup(bits);
            if (e & (isEnd | isInvalid))
                break;
            bits >>= e & bitsMask;
            count -= e & bitsMask;
            if (e & isMatch) {
                const uint32_t d = distances.lookup(bits);
                if (d & isInvalid)
                    malformed();
                bits >>= d & bitsMask;
                count -= d & bitsMask;
            }
        }
        m_next = next;
        m_bits = bits;
        m_count = count;
    }

private:
    // Bytes loaded beyond those counted are loaded again, to the same places, next time.
    void load()
    {
        uint64_t word;
        std::memcpy(&word, m_next, 8);
        m_bits |= word << m_count;
        m_next += (63 - m_count) >> 3;
        m_count |= 56;
    }

    const unsigned char *m_start;
    const unsigned char *m_next;
    const unsigned char *m_end;
    uint64_t m_bits = 0;
    unsigned m_count = 0;
    size_t m_padding = 0;
};

// A canonical prefix code as a table indexed by the stream's next `firstBits` bits; a longer code
// goes on in a second table indexed by the bits after those. A code that is not complete leaves
// entries no valid stream reaches.
template <unsigned firstBits> class Code {
public:
    template <typename EntryOf> void build(const uint8_t *lengths, unsigned count, EntryOf entryOf)
    {
        unsigned perLength[16] = {};
        for (unsigned s = 0; s < count; ++s)
            ++perLength[lengths[s]];
        perLength[0] = 0;
        unsigned next[16] = {};
        unsigned code = 0;
        unsigned longest = 0;
        int left = 1;
        for (unsigned length = 1; length < 16; ++length) {
            left = left * 2 - int(perLength[length]);
            if (left < 0)
                malformed();
            if (perLength[length])
                longest = length;
            code = (code + perLength[length - 1]) << 1;
            next[length] = code;
        }
        m_secondBits = longest > firstBits ? longest - firstBits : 0;
        const unsigned secondSize = 1u << m_secondBits;
        std::fill_n(m_entries, firstSize, isInvalid);
        unsigned used = firstSize;
        for (unsigned s = 0; s < count; ++s) {
            const unsigned length = lengths[s];
            if (!length)
                continue;
            unsigned reversed = 0;
            for (unsigned c = next[length]++, i = 0; i < length; ++i, c >>= 1)
                reversed = reversed << 1 | (c & 1);
            const uint32_t entry = entryOf(s, length);
            if (length <= firstBits) {
                for (unsigned i = reversed; i < firstSize; i += 1u << length)
                    m_entries[i] = entry;
                continue;
            }
            uint32_t &link = m_entries[reversed & (firstSize - 1)];
            if (!(link & isLink)) {
                link = isLink | used << linkShift;
                std::fill_n(m_entries + used, secondSize, isInvalid);
                used += secondSize;
            }
            const unsigned base = link >> linkShift;
            for (unsigned i = reversed >> firstBits; i < secondSize;
                 i += 1u << (length - firstBits))
                m_entries[base + i] = entry;
        }
    }

    uint32_t lookup(uint64_t bits) const
    {
        const uint32_t e = m_entries[bits & (firstSize - 1)];
        if (!(e & isLink))
            return e;
        return m_entries[(e >> linkShift) + ((bits >> firstBits) & ((1u << m_secondBits) - 1))];
    }

private:
    static constexpr unsigned firstSize = 1u << firstBits;
    // Every prefix of `firstBits` bits may lead to a second table of up to 15 - firstBits bits.
    uint32_t m_entries[firstSize + (1u << 15)];
    unsigned m_secondBits = 0;
};

uint32_t literalEntry(unsigned symbol, unsigned length)
{
    if (symbol < 256)
        return length;
    if (symbol == 256)
        return length | isEnd;
    if (symbol > 285)
        return isInvalid;
    const unsigned extra = symbol < 265 || symbol == 285 ? 0 : (symbol - 261) / 4;
    return (length + extra) | isMatch;
}

uint32_t distanceEntry(unsigned symbol, unsigned length)
{
    if (symbol > 29)
        return isInvalid;
    return length + (symbol < 4 ? 0 : symbol / 2 - 1);
}

struct Codes {
    Code<11> literals;
    Code<8> distances;
};

void readDynamicCodes(BitReader &in, Codes &codes)
{
    static const uint8_t order[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                      11, 4,  12, 3, 13, 2, 14, 1, 15};
    in.refill();
    const unsigned literalCount = in.take(5) + 257;
    const unsigned distanceCount = in.take(5) + 1;
    const unsigned lengthCount = in.take(4) + 4;
    uint8_t lengthLengths[19] = {};
    for (unsigned i = 0; i < lengthCount; ++i) {
        if (i % 16 == 0)
            in.refill();
        lengthLengths[order[i]] = uint8_t(in.take(3));
    }
    // The code of the code lengths lives in the literal table until the real one is built.
    Code<11> &lengthCode = codes.literals;
    lengthCode.build(lengthLengths, 19,
                     [](unsigned s, unsigned length) { return uint32_t(s << 16 | length); });
    uint8_t lengths[288 + 32] = {};
    const unsigned total = literalCount + distanceCount;
    for (unsigned i = 0; i < total;) {
        in.refill();
        const uint32_t e = lengthCode.lookup(in.peek());
        if (e == isInvalid)
            malformed();
        in.drop(e & 15);
        const unsigned symbol = e >> 16;
        unsigned repeat = 1;
        uint8_t value = uint8_t(symbol);
        if (symbol == 16) {
            if (i == 0)
                malformed();
            value = lengths[i - 1];
            repeat = 3 + in.take(2);
        } else if (symbol == 17) {
            value = 0;
            repeat = 3 + in.take(3);
        } else if (symbol == 18) {
            value = 0;
            repeat = 11 + in.take(7);
        }
        if (i + repeat > total)
            malformed();
        std::memset(lengths + i, value, repeat);
        i += repeat;
    }
    if (literalCount > 286 || distanceCount > 30 || lengths[256] == 0)
        malformed();
    codes.literals.build(lengths, literalCount, literalEntry);
    codes.distances.build(lengths + literalCount, distanceCount, distanceEntry);
}

const Codes &fixedCodes()
{
    static const std::unique_ptr<Codes> codes = [] {
        auto made = std::make_unique<Codes>();
        uint8_t lengths[288];
        std::memset(lengths, 8, 144);
        std::memset(lengths + 144, 9, 112);
        std::memset(lengths + 256, 7, 24);
        std::memset(lengths + 280, 8, 8);
        made->literals.build(lengths, 288, literalEntry);
        std::memset(lengths, 5, 32);
        made->distances.build(lengths, 32, distanceEntry);
        return made;
    }();
    return *codes;
}

void skipSymbols(BitReader &in, const Codes &codes)
{
    in.skipWhileFar(codes.literals, codes.distances);
    for (;;) {
        in.refill();
        const uint32_t e = codes.literals.lookup(in.peek());
        in.drop(e & bitsMask);
        if (e & isMatch) {
            const uint32_t d = codes.distances.lookup(in.peek());
            if (d & isInvalid)
                malformed();
            in.drop(d & bitsMask);
        } else if (e & (isEnd | isInvalid)) {
            if (e & isEnd)
                return;
            malformed();
        }
    }
}

} // namespace

DeflateEnds findDeflateEnds(const unsigned char *data, size_t length)
{
    BitReader in(data, length);
    const auto codes = std::make_unique<Codes>();
    for (;;) {
        const size_t header = in.position();
        in.refill();
        const bool final = in.take(1);
        const unsigned type = in.take(2);
        if (type == 0) {
            in.alignToByte();
            in.refill();
            const unsigned stored = in.take(16);
            if (in.take(16) != (~stored & 0xffff))
                malformed();
            in.skipBytes(stored);
        } else if (type == 1) {
            skipSymbols(in, fixedCodes());
        } else if (type == 2) {
            readDynamicCodes(in, *codes);
            skipSymbols(in, *codes);
        } else {
            malformed();
        }
        const size_t end = in.position();
        if (end > length * 8)
            malformed();
        if (final) {
            // The stream is the whole piece: it ends in its last byte.
            if (end + 8 <= length * 8)
                malformed();
            return {header, end};
        }
    }
}
