#pragma once

#include <QString>

#include <cstddef>
#include <string>

// Rewrites an entry's bytes on the compression workers, before they are compressed. The pieces
// of such an entry are cut at line breaks: each piece holds whole lines (the last may end
// without one).
class EntryTransform {
public:
    // The most times its size rewritten data may come to (the headers are made with room for
    // that); a piece that grows more leaves its entry out.
    static constexpr size_t growthLimit = 16;

    virtual ~EntryTransform() = default;
    // How far past its end a piece is carried on to end at a line break: an entry with a longer
    // line cannot be rewritten, and is left out.
    virtual size_t longestLine() const = 0;
    // Appends the rewritten `length` bytes at `data` to `out`. Called for several pieces of an
    // entry at once, on several threads. Returns why the bytes cannot be rewritten (the entry is
    // then left out with that reason), or an empty text.
    virtual QString rewrite(const char *data, size_t length, std::string &out) = 0;
    // The entry is in the archive (`written`), or left out; no piece of it is rewritten any more.
    virtual void finished(bool written) = 0;
};
