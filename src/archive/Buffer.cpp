#include "archive/Buffer.h"

#include <cstdlib>
#include <new>
#include <utility>

Buffer::Buffer(size_t size)
    : m_data(size ? static_cast<char *>(std::malloc(size)) : nullptr)
    , m_size(size)
{
    if (size && !m_data)
        throw std::bad_alloc();
}

Buffer::~Buffer()
{
    std::free(m_data);
}

Buffer::Buffer(Buffer &&other) noexcept
    : m_data(std::exchange(other.m_data, nullptr))
    , m_size(std::exchange(other.m_size, 0))
{
}

Buffer &Buffer::operator=(Buffer &&other) noexcept
{
    if (this != &other) {
        std::free(m_data);
        m_data = std::exchange(other.m_data, nullptr);
        m_size = std::exchange(other.m_size, 0);
    }
    return *this;
}

void Buffer::shrink(size_t size)
{
    if (size >= m_size)
        return;
    if (size == 0) {
        *this = Buffer();
        return;
    }
    // Shrinking in place does not move the data; should the allocator move it anyway, the old
    // block stays valid until it succeeds.
    if (char *smaller = static_cast<char *>(std::realloc(m_data, size))) {
        m_data = smaller;
        m_size = size;
    }
}
