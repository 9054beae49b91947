#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

// What orvel-sim is asked to set up (see its usage text).
struct Options {
    std::filesystem::path root;
    unsigned major = 4, minor = 0, buildMajor = 1, buildMinor = 52;
    std::filesystem::path library;
    bool components = true;
    bool loggingFolder = true;
    enum class TextStyle { Uniform, Varied, Mixed } textStyle = TextStyle::Uniform;
    unsigned long data = 3, diag = 3, other = 2;
    unsigned long long dataSize = 65536, diagSize = 65536, longLine = 0;
    bool odd = false;
    bool longRecords = false;
    std::filesystem::path plantList;
    uint64_t seed = 1;
};

// Writes the logging folder's files as `o` asks; the same seed gives the same bytes. Throws
// std::runtime_error.
void writeLogs(const Options &o, const std::filesystem::path &logs);

// The bytes as upper-case hex digits, as the raw diagnostic records carry their messages.
std::string hexOf(const std::string &bytes);
