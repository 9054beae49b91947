#pragma once

#include "archive/obfuscation/Identifiers.h"
#include "archive/obfuscation/Scanner.h"

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace obfuscation {

class ReplacementCache;
class StandInMap;

// How many identifiers of each kind a text had.
using Counts = std::array<uint64_t, kindCount>;

// Rewrites texts: cleaning gives every identifier its stand-in; revealing gives every stand-in
// its value back. Safe to use from several threads at once: each call takes scratch space and a
// cache of its own from a pool.
class Obfuscator {
public:
    enum class Direction { Clean, Reveal };
    Obfuscator(Direction direction, std::shared_ptr<const Scanner> scanner,
               std::shared_ptr<StandInMap> map);
    ~Obfuscator();

    // Appends the rewritten `text` to `out` and counts what was replaced into `counts`. Throws
    // Failure when a value cannot be given a stand-in; `out` then holds part of the text.
    void rewrite(std::string_view text, std::string &out, Counts &counts) const;

    // The identifiers in `text`, as they are replaced: in order, none overlapping.
    std::vector<Token> tokens(std::string_view text) const;

private:
    struct Worker;
    std::unique_ptr<Worker> take() const;
    void give(std::unique_ptr<Worker> worker) const;
    // Finds the tokens of `text`, read without its control sequences, into the worker's; gives the
    // text as it was read (Worker::inText tells where its places stand in `text`).
    std::string_view scan(std::string_view text, Worker &worker) const;
    void rewriteLines(std::string_view text, Worker &worker, std::string &out,
                      Counts &counts) const;
    // The token's replacement; the token itself when it has none (nothing to reveal).
    std::string replacement(std::string_view token, Shape shape, Found found) const;
    std::string name(std::string_view token, Found found) const;
    std::string number(std::string_view token) const;
    std::string ipv4(std::string_view token) const;
    std::string ipv6(std::string_view token) const;
    std::string mac(std::string_view token) const;

    Direction m_direction;
    std::shared_ptr<const Scanner> m_scanner;
    std::shared_ptr<StandInMap> m_map;
    // What every worker replaced, shared.
    std::unique_ptr<ReplacementCache> m_cache;
    mutable std::mutex m_mutex;
    mutable std::vector<std::unique_ptr<Worker>> m_idle;
};

} // namespace obfuscation
