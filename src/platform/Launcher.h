#pragma once

#include <QString>

// Opens a file or an address with whatever the desktop uses for it, without waiting. Answers as
// the shell's own launcher did: greater than 32 is success.
namespace LaunchResult {
constexpr int FileNotFound = 2;
constexpr int NoAssociation = 31;
constexpr int Success = 42;
} // namespace LaunchResult

class Launcher {
public:
    virtual ~Launcher() = default;
    // A local file path or an http(s) address.
    virtual int open(const QString &target) = 0;
};

// For a program without a desktop (an unattended run): nothing can be opened.
class NoLauncher : public Launcher {
public:
    int open(const QString &) override { return LaunchResult::NoAssociation; }
};
