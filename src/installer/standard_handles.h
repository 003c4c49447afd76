// What the started application inherits: copies of the installer's standard
// handles, and nothing else.
#pragma once

#include <cstdint>
#include <memory>

#include "installer/result.h"
#include "installer/unique_handle.h"
#include "shell/win32.h"

namespace lbw {

// Inheritable copies of the installer's standard input, output and error, and
// the attribute list that names them as the only handles a new process
// inherits: without it, the process would also inherit every inheritable
// handle that the installer was itself given (a pipe whose reader then never
// sees its end, a file that stays locked). Fixed in place, since the list
// points into it; the copies are closed when it ends.
class StandardHandleCopies {
 public:
  StandardHandleCopies() = default;
  StandardHandleCopies(const StandardHandleCopies&) = delete;
  StandardHandleCopies& operator=(const StandardHandleCopies&) = delete;
  ~StandardHandleCopies();

  // Copies each standard handle that the installer has, input first, and
  // lists the copies. Copies made before a failure are closed with this object.
  OsResult<> make();

  // Whether there is any copy, and so anything to inherit.
  bool any() const { return listed_ > 0; }

  // With copies: STARTF_USESTDHANDLES, the copies (null where the installer
  // has no such handle) and the list. Without: the record is left alone.
  void hand_to(STARTUPINFOEXW& startup) const;

 private:
  OsResult<> copy(DWORD which, UniqueKernelHandle& copy);
  OsResult<> make_list();

  UniqueKernelHandle input_;
  UniqueKernelHandle output_;
  UniqueKernelHandle error_;
  HANDLE listed_handles_[3] = {};
  std::size_t listed_ = 0;
  std::unique_ptr<std::uint8_t[]> list_memory_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

}  // namespace lbw
