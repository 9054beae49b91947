#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace obfuscation {

// A keyed permutation of the numbers of one shape: as many digits, the same leading zeros, the
// first other digit not zero. Two numbers never get one stand-in, however dense the numbers of a
// shape are (subscriber ids that use every five-digit number): no stand-in is drawn twice, none
// looked for. A Feistel network over two factors of the shape's count (the construction FE1 of
// format-preserving encryption), walked again while it lands past the count, with SipHash-2-4 of
// the round and the half as its round function.
class NumberPermutation {
public:
    // `key`: 16 bytes.
    explicit NumberPermutation(std::string_view key);
    ~NumberPermutation();

    // The number's stand-in; nothing for numbers longer than 18 digits.
    std::optional<std::string> forward(std::string_view digits) const;
    // The image of `x` among the numbers 0 to `count` - 1 (at least 1): the permutation of a
    // shape's numbers counted from its first.
    uint64_t permute(uint64_t x, uint64_t count) const;

private:
    uint64_t round(unsigned i, uint64_t half) const;
    uint64_t m_key[2];
};

} // namespace obfuscation
