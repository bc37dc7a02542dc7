// Writing whole buffers to descriptors that may be pipes, non-blocking
// ones included.
#pragma once

#include <string_view>

namespace tavrin {

// Writes all of `bytes`. A descriptor left non-blocking by the parent
// (EAGAIN) is waited on until it takes more; an interrupted call is resumed.
// False on a closed pipe (EPIPE) or another error.
bool writeAll(int fd, std::string_view bytes);

}  // namespace tavrin
