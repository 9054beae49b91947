#pragma once

#include <cstddef>

// Bytes for a piece of a file or its compressed data. A large buffer is mapped from the system
// and unmapped when freed, so that the process gives the memory back at once: the heap keeps
// freed blocks of this size, and the run's memory would grow with the largest it ever held.
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
    void release();

    char *m_data = nullptr;
    size_t m_size = 0;
    bool m_mapped = false;
};
