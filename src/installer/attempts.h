// Writing both files, retried in update mode while an older copy of the
// application still holds them.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "installer/result.h"

namespace lbw {

inline constexpr int kUpdateModeAttempts = 60;
inline constexpr unsigned long kPauseBetweenAttemptsMs = 500;

// How often to try, and how to wait between two tries.
struct AttemptSchedule {
  int attempts = 1;
  void (*pause)() = nullptr;
};

// Waits at least kPauseBetweenAttemptsMs: one relative wait on a high-resolution timer where
// the system has one, and again for any rest.
void pause_between_attempts();

// Replaces WebView2Loader.dll in the install folder and then, only if that
// worked, the application. A failed attempt is repeated whole, after a pause,
// until one succeeds or the attempts run out; then the last attempt's error.
Status write_in_attempts(std::wstring_view install_folder, std::wstring_view application_path,
                         std::span<const std::uint8_t> loader,
                         std::span<const std::uint8_t> application,
                         const AttemptSchedule& schedule);

}  // namespace lbw
