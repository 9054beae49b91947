#include "archive/Buffer.h"

#include <cstdlib>
#include <new>
#include <sys/mman.h>
#include <utility>

namespace {
// Below this the heap serves well: small files are many, and a mapping each would cost more.
constexpr size_t mappedFrom = 256 * 1024;
} // namespace

Buffer::Buffer(size_t size)
    : m_size(size)
    , m_mapped(size >= mappedFrom)
{
    if (size == 0)
        return;
    if (m_mapped) {
        void *mapped =
            ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        m_data = mapped == MAP_FAILED ? nullptr : static_cast<char *>(mapped);
    } else {
        m_data = static_cast<char *>(std::malloc(size));
    }
    if (!m_data)
        throw std::bad_alloc();
}

Buffer::~Buffer()
{
    release();
}

Buffer::Buffer(Buffer &&other) noexcept
    : m_data(std::exchange(other.m_data, nullptr))
    , m_size(std::exchange(other.m_size, 0))
    , m_mapped(other.m_mapped)
{
}

Buffer &Buffer::operator=(Buffer &&other) noexcept
{
    if (this != &other) {
        release();
        m_data = std::exchange(other.m_data, nullptr);
        m_size = std::exchange(other.m_size, 0);
        m_mapped = other.m_mapped;
    }
    return *this;
}

void Buffer::release()
{
    if (m_data && m_mapped)
        ::munmap(m_data, m_size);
    else
        std::free(m_data);
    m_data = nullptr;
}
