// Where a mount's bytes come from, and whether they may be read raw: the
// file table is read as root, so its source must be one that only root can
// put there or change, reached without following anyone else's links, and
// opened without waiting on anything (a FIFO, a FUSE file).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/posix/posix_fd.h"

namespace tavrin {

// The device or image at `path`, opened read-only, when every folder on the
// way is root's and no one else may change it, every link on the way is
// root's, and the file itself is a block device or root's image that no one
// else may write. Otherwise invalid, with the reason in `why`.
UniqueFd openRootsSource(const std::string& path, std::string& why);

// The bytes a file table may take while the run goes on: a share of what
// the machine has free and of what this process may still take (its
// address-space and data limits, its control group's memory limit).
uint64_t tableMemoryBudget();

}  // namespace tavrin
