// Writing a whole buffer to a file descriptor: write() may take less than asked (a pipe, a
// signal), so every writer of a file loops the same way.
// Threads: any.
#pragma once

#include <cstddef>

namespace svl {

// Writes all `size` bytes of `data` to `fd`, again after EINTR. False with errno set when a
// write fails; a write that takes nothing (it should not happen) counts as EIO.
[[nodiscard]] bool writeAll(int fd, const void* data, size_t size);

}  // namespace svl
