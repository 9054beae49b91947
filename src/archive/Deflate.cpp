#include "archive/Deflate.h"

#include <libdeflate.h>
#include <zlib.h>

#include <cstring>
#include <new>
#include <stdexcept>

namespace {

// What ends a piece that another follows: an empty stored block, whose header the last byte's
// unused bits or one more byte take, and its lengths, which are byte aligned.
constexpr unsigned char storedEnd[4] = {0x00, 0x00, 0xff, 0xff};

// Walks the blocks of the deflate stream in `data` and takes the final mark off its last block:
// then the stream goes on into whatever follows it. Inflating is the only way to find where the
// last block begins; it costs a small share of what compressing did.
size_t unmarkFinalBlock(unsigned char *data, size_t length)
{
    z_stream stream{};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK)
        throw std::bad_alloc();
    stream.next_in = data;
    stream.avail_in = uInt(length);
    unsigned char sink[64 * 1024];
    size_t header = 0;
    unsigned mask = 1;
    int unused = -1;
    for (;;) {
        stream.next_out = sink;
        stream.avail_out = sizeof sink;
        const int status = inflate(&stream, Z_BLOCK);
        if (status != Z_OK && status != Z_STREAM_END)
            break;
        if (!(stream.data_type & 128)) {
            if (status == Z_STREAM_END)
                break;
            continue;
        }
        const int bits = stream.data_type & 7;
        const size_t at = size_t(stream.next_in - data);
        if (stream.data_type & 64) {
            // Just past the last block: `bits` of the stream's last byte are padding.
            unused = bits;
            break;
        }
        // The next block's header starts with its final mark.
        header = bits ? at - 1 : at;
        mask = bits ? 0x100u >> bits : 1u;
    }
    inflateEnd(&stream);
    if (unused < 0 || size_t(stream.next_in - data) != length || !(data[header] & mask))
        throw std::logic_error("a compressed piece is not one whole deflate stream");
    data[header] &= ~mask;
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
    // Logs deflate to a fifth of their size or less: room for a quarter nearly always suffices,
    // and data that does not shrink that far is compressed again with room for the worst case.
    // The bytes that end a piece that is not the last need room too.
    const size_t ending = 1 + sizeof storedEnd;
    Result out{Buffer(length / 4 + 4096), 0};
    // Past a hundred to one (a line repeated over megabytes), libdeflate's many small blocks cost
    // more than the data, and zlib's fewer, larger ones come out smaller. Once a piece of a file
    // showed it, the rest of the file goes to zlib alone.
    if (repetitive)
        out.length = zlibDeflate(in, length, level, out.data.data(), out.data.size() - ending);
    if (out.length > 0 && out.length * 100 >= length)
        repetitive = false;
    if (out.length == 0 || !repetitive) {
        libdeflate_compressor *c = compressor(level);
        out.length =
            libdeflate_deflate_compress(c, in, length, out.data.data(), out.data.size() - ending);
        if (out.length == 0) {
            out.data = Buffer(libdeflate_deflate_compress_bound(c, length) + ending);
            out.length = libdeflate_deflate_compress(c, in, length, out.data.data(),
                                                     out.data.size() - ending);
        }
        if (out.length == 0)
            throw std::logic_error("the compressed piece did not fit its bound");
        if (out.length * 100 < length) {
            Buffer other(out.length);
            const size_t n = zlibDeflate(in, length, level, other.data(), out.length);
            if (n > 0 && n < out.length) {
                std::memcpy(out.data.data(), other.data(), n);
                out.length = n;
                repetitive = true;
            }
        }
    }
    if (!last)
        out.length =
            unmarkFinalBlock(reinterpret_cast<unsigned char *>(out.data.data()), out.length);
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
