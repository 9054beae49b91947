#pragma once

#include "archive/Buffer.h"

#include <QtGlobal>

#include <atomic>
#include <map>

struct libdeflate_compressor;

// Deflates whole buffers, one compressor per level; one Deflater per thread.
//
// A file larger than one piece is deflated piece by piece on several threads. A deflate stream
// cannot be continued after its final block, so every piece but the last ends unmarked and byte
// aligned (its final block's mark cleared, an empty stored block after it): the pieces, one after
// the other, are then one valid stream. Each piece starts without the previous piece's history,
// which costs a fraction of a percent at the pieces' size.
class Deflater {
public:
    Deflater() = default;
    ~Deflater();
    Deflater(const Deflater &) = delete;
    Deflater &operator=(const Deflater &) = delete;

    struct Result {
        Buffer data;
        size_t length = 0;
    };
    // Compresses `length` bytes at `level`, once, into a buffer that holds the result alone;
    // `last` when no piece follows. `repetitive` is what the pieces of one file learn about it.
    // Throws std::bad_alloc when memory runs out.
    Result compress(const char *in, size_t length, int level, bool last,
                    std::atomic<bool> &repetitive);

private:
    libdeflate_compressor *compressor(int level);
    std::map<int, libdeflate_compressor *> m_compressors;
    // Where each piece is compressed, with room for the worst case; kept from piece to piece so
    // that its pages are touched once, not once a piece.
    Buffer m_scratch;
};

// The CRC-32 of `length` bytes, continued from `crc`.
quint32 crc32Of(quint32 crc, const char *data, size_t length);
// The CRC-32 of two pieces one after the other, from the CRC of each and the second's length.
quint32 crc32Joined(quint32 first, quint32 second, quint64 secondLength);
