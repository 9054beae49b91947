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
