#pragma once

#include <cstddef>

// Where the last block of a deflate stream begins and where the stream ends, in bits from its
// first byte (bits counted from each byte's lowest).
struct DeflateEnds {
    size_t lastBlock = 0;
    size_t end = 0;
};

// Walks the blocks of the one deflate stream that fills `length` bytes, decoding every symbol
// but keeping none of the data. Throws std::logic_error when the bytes are not such a stream.
DeflateEnds findDeflateEnds(const unsigned char *data, size_t length);
