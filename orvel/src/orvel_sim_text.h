#pragma once
// The seeded generator orvel-sim draws every byte from, and the varied text style built on it.

#include <cstdint>
#include <string>

// splitmix64: small, fast, and the same on every platform and library.
class Random {
public:
    explicit Random(uint64_t seed)
        : m_state(seed)
    {
    }
    uint64_t next()
    {
        uint64_t z = (m_state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    uint64_t below(uint64_t n) { return n ? next() % n : 0; }

private:
    uint64_t m_state;
};

// One line of the varied style: a time stamp, level, host and module, then a message drawn from
// many templates. Moves `millis` on.
std::string variedDataLine(Random &random, uint64_t &millis);

// A message of the varied style alone, as its diagnostic records carry it.
std::string variedMessage(Random &random);
