#include "archive/Deflate.h"

#include "archive/DeflateBlocks.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

namespace {

// What ends a piece that another follows: an empty stored block, whose header the last byte's
// unused bits or one more byte take, and its lengths, which are byte aligned.
constexpr unsigned char storedEnd[4] = {0x00, 0x00, 0xff, 0xff};
// The most those bytes take after the stream.
constexpr size_t endingRoom = 1 + sizeof storedEnd;

// Takes the final mark off the last block of the deflate stream in `data`: then the stream goes
// on into whatever follows it. Only walking the blocks finds where the last one begins.
size_t unmarkFinalBlock(unsigned char *data, size_t length)
{
    const DeflateEnds ends = findDeflateEnds(data, length);
    data[ends.lastBlock / 8] &= ~(1u << (ends.lastBlock % 8));
    const unsigned unused = unsigned(length * 8 - ends.end);
    size_t end = length;
    data[end - 1] &= (1u << (8 - unused)) - 1;
    if (unused < 3)
        data[end++] = 0;
    std::memcpy(data + end, storedEnd, sizeof storedEnd);
    return end + sizeof storedEnd;
}

// Deflates with zlib into `room` bytes at `into`; 0 when it does not fit.
size_t zlibDeflate(const char *in, size_t length, int level, char *into, size_t room)
{
    z_stream stream{};
    if (deflateInit2(&stream, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::bad_alloc();
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(in));
    stream.avail_in = uInt(length);
    stream.next_out = reinterpret_cast<Bytef *>(into);
    stream.avail_out = uInt(room);
    const bool done = deflate(&stream, Z_FINISH) == Z_STREAM_END;
    deflateEnd(&stream);
    return done ? room - stream.avail_out : 0;
}

} // namespace

Deflater::~Deflater()
{
    for (const auto &[level, compressor] : m_compressors)
        libdeflate_free_compressor(compressor);
}

libdeflate_compressor *Deflater::compressor(int level)
{
    libdeflate_compressor *&compressor = m_compressors[level];
    if (!compressor)
        compressor = libdeflate_alloc_compressor(level);
    if (!compressor)
        throw std::bad_alloc();
    return compressor;
}

Deflater::Result Deflater::compress(const char *in, size_t length, int level, bool last,
                                    std::atomic<bool> &repetitive)
{
    libdeflate_compressor *c = compressor(level);
    // Room for the worst case, whatever the data: each piece is compressed once.
    const size_t bound = libdeflate_deflate_compress_bound(c, length) + endingRoom;
    if (m_scratch.size() < bound)
        m_scratch = Buffer(std::max(bound, m_scratch.size() * 2));
    char *const into = m_scratch.data();
    const size_t room = bound - endingRoom;
    size_t made = 0;
    // Past a hundred to one (a line repeated over megabytes), libdeflate's many small blocks cost
    // more than the data, and zlib's fewer, larger ones come out smaller: once a piece showed it,
    // the file's later pieces go to zlib, until one of them is no longer that repetitive.
    if (repetitive)
        made = zlibDeflate(in, length, level, into, room);
    if (made == 0)
        made = libdeflate_deflate_compress(c, in, length, into, room);
    if (made == 0)
        throw std::logic_error("the compressed piece did not fit its bound");
    repetitive = made * 100 < length;
    if (!last)
        made = unmarkFinalBlock(reinterpret_cast<unsigned char *>(into), made);
    Result out{Buffer(made), made};
    std::memcpy(out.data.data(), into, made);
    return out;
}

quint32 crc32Of(quint32 crc, const char *data, size_t length)
{
    return libdeflate_crc32(crc, data, length);
}

quint32 crc32Joined(quint32 first, quint32 second, quint64 secondLength)
{
    return quint32(crc32_combine64(first, second, z_off64_t(secondLength)));
}
