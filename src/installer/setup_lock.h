// Runs of the setup program that install into the same folder take turns.
// Two runs at once (a double double-click, or a user's run while the updater
// runs one) would otherwise write the same staging file, one of them straight
// into the file the other has just put in place.
#pragma once

#include <string>
#include <string_view>

#include "installer/unique_handle.h"

namespace lbw {

// How long a run waits for another one to end: a whole update-mode run takes
// about 31 s, so a run that holds the lock longer has stopped making progress
// (an error dialog is never shown while it is held).
inline constexpr unsigned long kSetupLockWaitMs = 60'000;

// The name of the lock for an install folder given as a full path: in the
// session's own namespace, and the same for every spelling of the folder that
// differs only in the case of ASCII letters or in the long-path prefix.
std::wstring setup_lock_name(std::wstring_view full_install_folder);

// The lock of an install folder, held from construction until it ends.
class SetupLock {
 public:
  // Waits up to `wait_ms` for the lock and takes it; a lock whose holder ended
  // without letting go counts as taken. When the lock can't be had (not made,
  // or still held after the wait) the run goes on without it: `held` is false.
  explicit SetupLock(std::wstring_view install_folder, unsigned long wait_ms = kSetupLockWaitMs);
  SetupLock(const SetupLock&) = delete;
  SetupLock& operator=(const SetupLock&) = delete;
  ~SetupLock();

  bool held() const { return held_; }

 private:
  UniqueKernelHandle mutex_;
  bool held_ = false;
};

}  // namespace lbw
