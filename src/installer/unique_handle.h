// Owners of Windows handles. The invalid value is part of the handle's type:
// CreateFileW reports failure as INVALID_HANDLE_VALUE, most other calls as null.
#pragma once

#include <utility>

#include "shell/win32.h"

namespace lbw {

template <typename Traits>
class UniqueHandle {
 public:
  using Handle = typename Traits::Handle;

  UniqueHandle() = default;
  explicit UniqueHandle(Handle handle) : handle_(handle) {}
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { reset(); }

  bool valid() const { return handle_ != Traits::invalid(); }
  explicit operator bool() const { return valid(); }

  // Lends the handle; this object still owns it.
  Handle borrow() const { return handle_; }

  Handle release() { return std::exchange(handle_, Traits::invalid()); }

  // Closes the handle it holds, if any; the outcome of closing is not looked at.
  void reset(Handle handle = Traits::invalid()) {
    if (valid()) Traits::close(handle_);
    handle_ = handle;
  }

 private:
  Handle handle_ = Traits::invalid();
};

// Handles whose failure value is INVALID_HANDLE_VALUE (files).
struct FileHandleTraits {
  using Handle = HANDLE;
  static Handle invalid() { return INVALID_HANDLE_VALUE; }
  static void close(Handle handle) { CloseHandle(handle); }
};

// Handles whose failure value is null (processes, threads, timers, duplicates).
struct KernelHandleTraits {
  using Handle = HANDLE;
  static Handle invalid() { return nullptr; }
  static void close(Handle handle) { CloseHandle(handle); }
};

using UniqueFile = UniqueHandle<FileHandleTraits>;
using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;

}  // namespace lbw
