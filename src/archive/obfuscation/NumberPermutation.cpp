#include "archive/obfuscation/NumberPermutation.h"

#include <openssl/crypto.h>

#include <cmath>
#include <cstring>

namespace obfuscation {

namespace {

constexpr unsigned rounds = 8;

uint64_t rotate(uint64_t x, int b)
{
    return (x << b) | (x >> (64 - b));
}

// SipHash-2-4 of one 16-byte message.
uint64_t sipHash(const uint64_t key[2], uint64_t first, uint64_t second)
{
    uint64_t v0 = 0x736f6d6570736575ull ^ key[0], v1 = 0x646f72616e646f6dull ^ key[1];
    uint64_t v2 = 0x6c7967656e657261ull ^ key[0], v3 = 0x7465646279746573ull ^ key[1];
    const auto sipRound = [&] {
        v0 += v1, v1 = rotate(v1, 13), v1 ^= v0, v0 = rotate(v0, 32);
        v2 += v3, v3 = rotate(v3, 16), v3 ^= v2;
        v0 += v3, v3 = rotate(v3, 21), v3 ^= v0;
        v2 += v1, v1 = rotate(v1, 17), v1 ^= v2, v2 = rotate(v2, 32);
    };
    for (const uint64_t m : {first, second, uint64_t(16) << 56}) {
        v3 ^= m;
        sipRound();
        sipRound();
        v0 ^= m;
    }
    v2 ^= 0xff;
    for (int i = 0; i < 4; ++i)
        sipRound();
    return v0 ^ v1 ^ v2 ^ v3;
}

} // namespace

NumberPermutation::NumberPermutation(std::string_view key)
{
    std::memcpy(m_key, key.data(), sizeof m_key);
}

NumberPermutation::~NumberPermutation()
{
    OPENSSL_cleanse(m_key, sizeof m_key);
}

uint64_t NumberPermutation::round(unsigned i, uint64_t half) const
{
    return sipHash(m_key, i, half);
}

uint64_t NumberPermutation::permute(uint64_t x, uint64_t count) const
{
    // Two factors whose product covers the count, as even as can be.
    const uint64_t a = uint64_t(std::ceil(std::sqrt(double(count))));
    const uint64_t b = (count + a - 1) / a;
    do {
        for (unsigned i = 0; i < rounds; ++i) {
            const uint64_t left = x / b, right = x % b;
            x = a * right + (left + round(i, right) % a) % a;
        }
    } while (x >= count);
    return x;
}

std::optional<std::string> NumberPermutation::forward(std::string_view digits) const
{
    const size_t lead = std::min(digits.find_first_not_of('0'), digits.size());
    const size_t m = digits.size() - lead;
    if (digits.size() > 18)
        return std::nullopt;
    if (m == 0)
        return std::string(digits);
    // The shape's numbers, counted from 0: the first digit 1-9, the others 0-9.
    uint64_t power = 1;
    for (size_t i = 1; i < m; ++i)
        power *= 10;
    const uint64_t count = 9 * power;
    uint64_t x = 0;
    for (size_t i = lead; i < digits.size(); ++i)
        x = x * 10 + uint64_t(digits[i] - '0');
    x = permute(x - power, count) + power;
    std::string out(digits.substr(0, lead));
    out.resize(digits.size());
    for (size_t i = digits.size(); i-- > lead; x /= 10)
        out[i] = char('0' + x % 10);
    return out;
}

} // namespace obfuscation
