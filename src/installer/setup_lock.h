// Runs of the setup program that install into the same folder take turns.
// Two runs at once (a double double-click, or a user's run while the updater
// runs one) would otherwise write the same staging file, one of them straight
// into the file the other has just put in place.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "installer/attempts.h"
#include "installer/unique_handle.h"

namespace lbw {

// How long one attempt may take at the slowest: it writes and flushes up to two
// staging files, which on a slow disk, a network share or under a virus
// scanner takes seconds.
inline constexpr unsigned long kSlowestAttemptMs = 4'000;

// How long a run waits for another one to end: longer than the longest run
// that still makes progress, an update-mode run whose every attempt is slow
// (4.5 minutes). An error dialog is never shown while the turn is held.
inline constexpr unsigned long kSetupLockWaitMs =
    kUpdateModeAttempts * (kSlowestAttemptMs + kPauseBetweenAttemptsMs);

// What tells a folder apart from every other, however its path is spelled
// (another drive letter or share for the same place, a link on the way, other
// letter case, a short name): the volume's serial number and the folder's
// file id on that volume.
struct FolderIdentity {
  std::uint64_t volume_serial = 0;
  std::array<std::uint8_t, 16> file_id{};
  bool operator==(const FolderIdentity&) const = default;
};

// The older answer about a folder (GetFileInformationByHandle): the volume's
// 32-bit serial number and the folder's 64-bit file index.
struct FolderIndex {
  std::uint32_t volume_serial = 0;
  std::uint64_t file_index = 0;
};

// The identity that names the folder's turn, from what the system answered
// (nothing where it refused the call): the 128-bit id, unless it is all zeros
// (a file system without such ids) or all ones (no id could be established for
// the file, as some network servers answer), which say nothing about the
// folder; otherwise the 64-bit index in the first 8 bytes of the id, unless it
// is 0 or all ones for the same reasons; otherwise nothing, and the folder's
// path names the turn.
std::optional<FolderIdentity> identity_to_name_turn(const std::optional<FolderIdentity>& by_id,
                                                    const std::optional<FolderIndex>& by_index);

// The name of the lock of the folder with this identity, in the session's own
// namespace.
std::wstring setup_lock_name(const FolderIdentity& identity);

// The name of the lock for a folder whose identity can't be had, from its full
// path: the same for spellings that differ only in the case of ASCII letters or
// in the long-path prefix.
std::wstring setup_lock_name(std::wstring_view full_install_folder);

// The lock of an install folder, held from construction until it ends.
class SetupLock {
 public:
  // Waits up to `wait_ms` for the lock of the existing folder and takes it; a
  // lock whose holder ended without letting go counts as taken. When the lock
  // can't be had (not made, or still held after the wait) the run goes on
  // without it: `held` is false.
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
