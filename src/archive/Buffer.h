#pragma once

#include <cstddef>

// Bytes for a piece of a file or its compressed data, from the heap: freed blocks are used again
// without the system having to map fresh pages for every piece, and the pieces in memory at once
// are bounded by their owner.
class Buffer {
public:
    Buffer() = default;
    explicit Buffer(size_t size);
    ~Buffer();
    Buffer(Buffer &&other) noexcept;
    Buffer &operator=(Buffer &&other) noexcept;
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;

    char *data() const { return m_data; }
    size_t size() const { return m_size; }

private:
    char *m_data = nullptr;
    size_t m_size = 0;
};
