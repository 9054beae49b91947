#include "archive/DeflateBlocks.h"

#include <gtest/gtest.h>
#include <libdeflate.h>
#include <zlib.h>

#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// zlib's own walk through the blocks: where the last block begins and the stream ends, in bits.
// Nothing when zlib finds no whole stream filling the bytes; `refusal` then holds zlib's message.
std::optional<DeflateEnds> zlibEnds(const Bytes &stream, std::string *refusal = nullptr)
{
    z_stream z{};
    inflateInit2(&z, -MAX_WBITS);
    z.next_in = const_cast<unsigned char *>(stream.data());
    z.avail_in = uInt(stream.size());
    std::vector<unsigned char> sink(1 << 16);
    std::optional<DeflateEnds> ends;
    size_t lastBlock = 0;
    for (;;) {
        z.next_out = sink.data();
        z.avail_out = uInt(sink.size());
        const int status = inflate(&z, Z_BLOCK);
        if (status != Z_OK && status != Z_STREAM_END) {
            if (refusal && z.msg)
                *refusal = z.msg;
            break;
        }
        if (!(z.data_type & 128)) {
            if (status == Z_STREAM_END || (z.avail_in == 0 && z.avail_out != 0))
                break;
            continue;
        }
        const size_t at = size_t(z.next_in - stream.data()) * 8 - size_t(z.data_type & 7);
        if (z.data_type & 64) {
            if (z.avail_in == 0)
                ends = DeflateEnds{lastBlock, at};
            break;
        }
        lastBlock = at;
    }
    inflateEnd(&z);
    return ends;
}

Bytes libdeflated(const Bytes &in, int level)
{
    libdeflate_compressor *c = libdeflate_alloc_compressor(level);
    Bytes out(libdeflate_deflate_compress_bound(c, in.size()));
    out.resize(libdeflate_deflate_compress(c, in.data(), in.size(), out.data(), out.size()));
    libdeflate_free_compressor(c);
    return out;
}

// zlib with a strategy, a full flush (an empty stored block) every `flushEvery` bytes.
Bytes zlibDeflated(const Bytes &in, int level, int strategy, size_t flushEvery)
{
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, -MAX_WBITS, 8, strategy);
    Bytes out(deflateBound(&z, uLong(in.size())) + 5 * (in.size() / flushEvery + 1));
    z.next_out = out.data();
    z.avail_out = uInt(out.size());
    for (size_t at = 0; at <= in.size(); at += flushEvery) {
        const size_t n = std::min(flushEvery, in.size() - at);
        z.next_in = const_cast<unsigned char *>(in.data() + at);
        z.avail_in = uInt(n);
        deflate(&z, at + n >= in.size() ? Z_FINISH : Z_FULL_FLUSH);
        if (at + n >= in.size())
            break;
    }
    out.resize(out.size() - z.avail_out);
    deflateEnd(&z);
    return out;
}

struct Content {
    const char *name;
    Bytes bytes;
};

std::vector<Content> contents()
{
    std::mt19937 random(11);
    const auto text = [&](size_t size) {
        Bytes out;
        static const char *const words[] = {"mailbox ", "delivered ", "retry ",  "port 7 ",
                                            "\r\n",     "session ",   "0x1f3a ", "queue "};
        while (out.size() < size) {
            const std::string word = words[random() % 8] + std::to_string(random() % 1000);
            out.insert(out.end(), word.begin(), word.end());
        }
        out.resize(size);
        return out;
    };
    const auto noise = [&](size_t size) {
        Bytes out(size);
        for (unsigned char &b : out)
            b = (unsigned char)random();
        return out;
    };
    Bytes mixed = text(300000);
    const Bytes middle = noise(200000);
    mixed.insert(mixed.end(), middle.begin(), middle.end());
    return {{"empty", {}},
            {"one byte", {'x'}},
            {"short text", text(1000)},
            {"text over many blocks", text(1500000)},
            {"noise, stored blocks", noise(300000)},
            {"a repeated byte", Bytes(2000000, 'x')},
            {"text then noise", mixed}};
}

// The walk finds what zlib's inflate finds, on every kind of block (stored, fixed, dynamic, long
// codes, empty flush blocks) from both libraries at every level.
TEST(DeflateBlocks, FindsTheLastBlockAndTheEndAsZlibDoes)
{
    for (const Content &content : contents()) {
        std::vector<std::pair<std::string, Bytes>> streams;
        for (const int level : {0, 1, 5, 6, 9, 12})
            streams.emplace_back("libdeflate " + std::to_string(level),
                                 libdeflated(content.bytes, level));
        for (const auto &[name, strategy] : {std::pair{"default", Z_DEFAULT_STRATEGY},
                                             {"fixed", Z_FIXED},
                                             {"huffman only", Z_HUFFMAN_ONLY},
                                             {"rle", Z_RLE}})
            for (const size_t flushEvery : {size_t(1) << 40, size_t(65536)})
                streams.emplace_back(std::string("zlib ") + name + " flush " +
                                         std::to_string(flushEvery),
                                     zlibDeflated(content.bytes, 6, strategy, flushEvery));
        for (const auto &[producer, stream] : streams) {
            const std::optional<DeflateEnds> expected = zlibEnds(stream);
            ASSERT_TRUE(expected) << content.name << ", " << producer;
            const DeflateEnds found = findDeflateEnds(stream.data(), stream.size());
            EXPECT_EQ(found.lastBlock, expected->lastBlock) << content.name << ", " << producer;
            EXPECT_EQ(found.end, expected->end) << content.name << ", " << producer;
        }
    }
}

// Bytes that are not exactly one whole stream (none, cut short, with more after it, or noise) are
// refused, never read past: whatever zlib makes of them, the walk agrees or refuses. It keeps none
// of the data, so a distance reaching back before the stream's start is the one thing it cannot
// see.
TEST(DeflateBlocks, RefusesWhatIsNotOneWholeStream)
{
    std::mt19937 random(5);
    for (int i = 0; i < 2000; ++i) {
        Bytes noise(random() % 65);
        for (unsigned char &b : noise)
            b = (unsigned char)random();
        std::string refusal;
        const std::optional<DeflateEnds> expected = zlibEnds(noise, &refusal);
        try {
            const DeflateEnds found = findDeflateEnds(noise.data(), noise.size());
            if (!expected) {
                EXPECT_EQ(refusal, "invalid distance too far back") << "sample " << i;
                continue;
            }
            EXPECT_EQ(found.end, expected->end);
        } catch (const std::logic_error &) {
            EXPECT_FALSE(expected) << "refused what zlib accepts, sample " << i;
        }
    }
}

} // namespace
