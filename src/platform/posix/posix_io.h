// Writing whole buffers to descriptors that may be pipes, non-blocking
// ones included.
#pragma once

#include <string_view>

namespace tavrin {

// How long a write may wait for a reader that takes nothing.
enum class Waiting {
  AsLongAsItTakes,  // the result file: every byte counts
  // The console: once a stop was asked for, only what goes out at once is
  // written, so a reader that stopped reading cannot hold up the stop.
  UntilStop,
};

// Writes all of `bytes`. A descriptor left non-blocking by the parent
// (EAGAIN) is waited on until it takes more; an interrupted call is resumed.
// False on a closed pipe (EPIPE) or another error, and when `waiting` gave
// up on the rest.
bool writeAll(int fd, std::string_view bytes, Waiting waiting = Waiting::AsLongAsItTakes);

}  // namespace tavrin
