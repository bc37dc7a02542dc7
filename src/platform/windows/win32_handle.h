// Handles that close themselves.
#pragma once

#include <windows.h>

#include <utility>

namespace tavrin {

// Owns a handle that `Closer` releases; the invalid value is never closed.
template <typename Closer>
class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedHandle() {
    if (handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr) Closer{}(handle_);
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;

  HANDLE get() const { return handle_; }
  HANDLE release() { return std::exchange(handle_, INVALID_HANDLE_VALUE); }

 private:
  HANDLE handle_;
};

struct CloseFile {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
struct CloseFind {
  void operator()(HANDLE handle) const { FindClose(handle); }
};
using FileHandle = ScopedHandle<CloseFile>;
using FindHandle = ScopedHandle<CloseFind>;

}  // namespace tavrin
