// A large buffer taken straight from the system's pages and handed back
// whole when it goes, whatever the allocator would keep of it: the megabyte
// a session receives its uploads into must not stay resident after the
// session (the allocator keeps freed blocks of that size for reuse).
#pragma once

#include <cstddef>

namespace platform {

class PageBuffer {
public:
    PageBuffer() = default;
    ~PageBuffer();
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;

    // At least `size` bytes, their contents unspecified; the same block as
    // long as it is large enough. Throws std::bad_alloc when the system has
    // no memory to give, as new would.
    char* Get(size_t size);

private:
    void Release();

    void* m_data = nullptr;
    size_t m_size = 0;
};

}  // namespace platform
