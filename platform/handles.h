// Plain operations on the system's handles (file descriptors) that the rest
// of the program needs without knowing the system's headers.
#pragma once

#include <cstddef>
#include <cstdio>

namespace platform {

// Closes `handle` when it is one (>= 0).
void CloseHandle(int handle);

// Writes all `size` bytes, resuming after interruptions and short writes.
// False with errno set on failure (ENOSPC when the system took nothing).
bool WriteAll(int handle, const void* data, std::size_t size);

// True when a line can be written to `out` now without waiting for its
// reader (a pipe nobody drains, a closed terminal).
bool HasRoomToWrite(std::FILE* out);

}  // namespace platform
