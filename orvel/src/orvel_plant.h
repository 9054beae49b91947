#pragma once

#include <filesystem>

// Plants known identifiers and near-misses in the logging folder `logs` and the registry file
// under `root`, and writes their list to `list` (see orvel_plant.cpp). Throws std::runtime_error.
void plantIdentifiers(const std::filesystem::path &root, const std::filesystem::path &logs,
                      const std::filesystem::path &list);
