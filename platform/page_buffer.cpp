#include "platform/page_buffer.h"

#include <sys/mman.h>

#include <new>

namespace platform {

PageBuffer::~PageBuffer()
{
    Release();
}

char* PageBuffer::Get(size_t size)
{
    if (m_data && m_size >= size)
        return static_cast<char*>(m_data);
    Release();
    void* data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (data == MAP_FAILED)
        throw std::bad_alloc();
    m_data = data;
    m_size = size;
    return static_cast<char*>(m_data);
}

void PageBuffer::Release()
{
    if (m_data)
        ::munmap(m_data, m_size);
    m_data = nullptr;
    m_size = 0;
}

}  // namespace platform
