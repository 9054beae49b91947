// The cleaning's scanner and rules on one thread, over files: how fast they go (MB/s on one
// core), what they found, and whether revealing gives every text back. With --tokens, every
// identifier found, one a line: "kind <tab> text"; with --print, the cleaned text.
//
//     bench_clean [--tokens | --print] [--words FILE] FILE...
#include "archive/obfuscation/Obfuscator.h"
#include "archive/obfuscation/Reveal.h"
#include "archive/obfuscation/Scanner.h"
#include "archive/obfuscation/StandInMap.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

using namespace obfuscation;

namespace {

const char *const kindNames[] = {"ipv4",  "ipv6", "host", "email", "mac",
                                 "phone", "id",   "user", "word"};

std::string slurp(const char *path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

} // namespace

int main(int argc, char **argv)
{
    bool tokens = false;
    bool print = false;
    std::vector<Scanner::Literal> literals;
    std::vector<std::string> patterns;
    int first = 1;
    for (; first < argc && argv[first][0] == '-'; ++first) {
        if (!std::strcmp(argv[first], "--tokens")) {
            tokens = true;
        } else if (!std::strcmp(argv[first], "--print")) {
            print = true;
        } else if (!std::strcmp(argv[first], "--words") && first + 1 < argc) {
            std::istringstream words(slurp(argv[++first]));
            for (std::string line; std::getline(words, line);)
                if (line.rfind("re:", 0) == 0)
                    patterns.push_back(line.substr(3));
                else if (!line.empty() && line[0] != '#')
                    literals.push_back({line, Kind::Word});
        }
    }
    const auto scanner = std::make_shared<const Scanner>(literals, patterns);
    const auto map = std::make_shared<StandInMap>(std::string(32, 'k'));
    const Obfuscator clean(Obfuscator::Direction::Clean, scanner, map);
    double seconds = 0;
    size_t bytes = 0;
    bool roundTrips = true;
    Counts counts{};
    // Kept from file to file, as a compression worker keeps its buffer from piece to piece.
    std::string out;
    for (int i = first; i < argc; ++i) {
        const std::string text = slurp(argv[i]);
        if (tokens) {
            for (const Token &token : clean.tokens(text))
                std::printf("%s\t%s\n", kindNames[size_t(token.kind)],
                            text.substr(token.begin, token.end - token.begin).c_str());
            continue;
        }
        out.clear();
        // The thread's own processor time: what one core spends, however busy the machine is.
        timespec start{}, end{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
        clean.rewrite(text, out, counts);
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
        seconds += double(end.tv_sec - start.tv_sec) + double(end.tv_nsec - start.tv_nsec) / 1e9;
        bytes += text.size();
        if (print)
            std::fwrite(out.data(), 1, out.size(), stdout);
        std::string back;
        Counts revealed{};
        // As --reveal does: by the stand-ins given so far, not by the site's words.
        revealerOf(map)->rewrite(out, back, revealed);
        if (back != text && roundTrips) {
            // The first line that does not come back, to see why.
            size_t at = 0;
            while (at < back.size() && back[at] == text[at])
                ++at;
            const size_t line = text.rfind('\n', at) + 1;
            std::fprintf(stderr, "%s: not revealed back:\n%s\n", argv[i],
                         back.substr(line, back.find('\n', line) - line).c_str());
            roundTrips = false;
        }
    }
    if (tokens)
        return 0;
    std::printf(
        "cleaned %.1f MB in %.3f s of processor time: %.0f MB/s on one core; revealed back %s; %zu "
        "distinct values\n",
        double(bytes) / 1e6, seconds, double(bytes) / 1e6 / seconds,
        roundTrips ? "exactly" : "WITH DIFFERENCES", map->valueCount());
    for (size_t k = 0; k < kindCount; ++k)
        std::printf("  %s %llu\n", kindNames[k], (unsigned long long)counts[k]);
    return roundTrips ? 0 : 1;
}
