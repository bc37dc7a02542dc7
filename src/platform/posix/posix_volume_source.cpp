#include "platform/posix/posix_volume_source.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <sstream>

#include "platform/posix/posix_mounts.h"

namespace tavrin {
namespace {

// Links followed on the way to a source before giving up: a loop.
constexpr int MAX_LINKS = 16;
// The table may take this share of what is free.
constexpr uint64_t BUDGET_SHARE = 2;

bool othersMayWrite(const struct stat& status) { return (status.st_mode & (S_IWGRP | S_IWOTH)) != 0; }

// A folder whose entries only root can change: root's and closed to others,
// or a shared folder with the sticky bit, where others cannot move root's.
bool rootsFolder(const struct stat& status) {
  return S_ISDIR(status.st_mode) && status.st_uid == 0 && (!othersMayWrite(status) || (status.st_mode & S_ISVTX));
}

// `path` with every link on the way replaced by what it names, each
// component checked to be root's; nothing when one is not.
std::optional<std::string> resolveRoots(std::string path, std::string& why) {
  if (path.empty() || path[0] != '/') {
    why = "it is not an absolute path";
    return std::nullopt;
  }
  int links = 0;
  std::string done;  // the components checked so far, from "/"
  struct stat status {};
  if (lstat("/", &status) != 0 || !rootsFolder(status)) {
    why = "/ is not root's";
    return std::nullopt;
  }
  size_t at = 1;
  while (at <= path.size()) {
    size_t end = path.find('/', at);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(at, end - at);
    const std::string rest = end < path.size() ? path.substr(end) : std::string();
    at = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      const size_t slash = done.rfind('/');
      done.resize(slash == std::string::npos ? 0 : slash);
      continue;
    }
    const std::string next = done + "/" + part;
    if (lstat(next.c_str(), &status) != 0) {
      why = next + " cannot be looked at";
      return std::nullopt;
    }
    if (S_ISLNK(status.st_mode)) {
      char target[PATH_MAX];
      const ssize_t length = readlink(next.c_str(), target, sizeof target);
      if (status.st_uid != 0 || length <= 0 || static_cast<size_t>(length) >= sizeof target || ++links > MAX_LINKS) {
        why = next + " is a link that is not root's";
        return std::nullopt;
      }
      const std::string to(target, static_cast<size_t>(length));
      path = (to[0] == '/' ? to : done + "/" + to) + rest;
      done.clear();
      at = 1;
      continue;
    }
    const bool last = rest.empty() || rest.find_first_not_of('/') == std::string::npos;
    if (!last && !rootsFolder(status)) {
      why = next + " is a folder that users other than root may change";
      return std::nullopt;
    }
    done = next;
  }
  return done.empty() ? std::string("/") : done;
}

std::optional<uint64_t> numberAfter(const std::string& text, const std::string& key) {
  const size_t at = text.find(key);
  if (at == std::string::npos) return std::nullopt;
  std::istringstream in(text.substr(at + key.size()));
  uint64_t value = 0;
  if (!(in >> value)) return std::nullopt;
  return value;
}

// What the process's control group still lets it take, where it says.
std::optional<uint64_t> groupRoom() {
  const std::optional<std::string> groups = readWholeFile("/proc/self/cgroup");
  if (!groups || !groups->starts_with("0::")) return std::nullopt;
  std::string group = groups->substr(3);
  while (!group.empty() && (group.back() == '\n' || group.back() == '/')) group.pop_back();
  const std::string folder = "/sys/fs/cgroup" + group;
  const std::optional<std::string> max = readWholeFile(folder + "/memory.max");
  const std::optional<std::string> current = readWholeFile(folder + "/memory.current");
  if (!max || !current || max->starts_with("max")) return std::nullopt;
  const std::optional<uint64_t> limit = numberAfter(*max, "");
  const std::optional<uint64_t> used = numberAfter(*current, "");
  if (!limit || !used) return std::nullopt;
  return *limit > *used ? *limit - *used : 0;
}

}  // namespace

UniqueFd openRootsSource(const std::string& path, std::string& why) {
  const std::optional<std::string> resolved = resolveRoots(path, why);
  if (!resolved) return UniqueFd();
  UniqueFd fd(open(resolved->c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK));
  struct stat status {};
  if (!fd.valid() || fstat(fd.get(), &status) != 0) {
    why = errno == EACCES || errno == EPERM ? "no read access to it" : "it cannot be opened";
    return UniqueFd();
  }
  if (S_ISBLK(status.st_mode)) return fd;
  if (!S_ISREG(status.st_mode)) {
    why = "it is neither a block device nor an image file";
    return UniqueFd();
  }
  if (status.st_uid != 0 || othersMayWrite(status)) {
    why = "it is an image file that users other than root may change";
    return UniqueFd();
  }
  return fd;
}

uint64_t tableMemoryBudget() {
  uint64_t room = UINT64_MAX;
  if (const std::optional<std::string> info = readWholeFile("/proc/meminfo")) {
    if (const std::optional<uint64_t> kb = numberAfter(*info, "MemAvailable:")) room = std::min(room, *kb * 1024);
  }
  const long page = sysconf(_SC_PAGESIZE);
  if (const std::optional<std::string> statm = readWholeFile("/proc/self/statm"); statm && page > 0) {
    std::istringstream in(*statm);
    uint64_t size = 0, resident = 0, shared = 0, text = 0, lib = 0, data = 0;
    if (in >> size >> resident >> shared >> text >> lib >> data) {
      const uint64_t mapped = size * static_cast<uint64_t>(page);
      const uint64_t heap = data * static_cast<uint64_t>(page);
      rlimit limit{};
      if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        room = std::min<uint64_t>(room, limit.rlim_cur > mapped ? limit.rlim_cur - mapped : 0);
      }
      if (getrlimit(RLIMIT_DATA, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        room = std::min<uint64_t>(room, limit.rlim_cur > heap ? limit.rlim_cur - heap : 0);
      }
    }
  }
  if (const std::optional<uint64_t> group = groupRoom()) room = std::min(room, *group);
  if (room == UINT64_MAX) return 0;
  return std::max<uint64_t>(room / BUDGET_SHARE, 1);
}

}  // namespace tavrin
