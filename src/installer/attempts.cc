// The attempts of a run at writing both files, and the pause between two.
#include "installer/attempts.h"

#include <string>

#include "installer/file_replace.h"
#include "installer/install_folder.h"
#include "installer/paths.h"
#include "installer/unique_handle.h"
#include "shell/win32.h"

namespace lbw {
namespace {

constexpr LONGLONG kPauseIn100ns = LONGLONG{kPauseBetweenAttemptsMs} * 10'000;
// Windows 10 1803 and later; mingw's headers do not name it.
constexpr DWORD kCreateWaitableTimerHighResolution = 0x2;

LONGLONG now_in_100ns() {
  LARGE_INTEGER counter;
  LARGE_INTEGER frequency;
  QueryPerformanceCounter(&counter);
  QueryPerformanceFrequency(&frequency);
  return counter.QuadPart / frequency.QuadPart * 10'000'000 +
         counter.QuadPart % frequency.QuadPart * 10'000'000 / frequency.QuadPart;
}

void wait_for(HANDLE timer, LONGLONG duration_in_100ns) {
  LARGE_INTEGER due;
  due.QuadPart = -duration_in_100ns;  // negative: relative to now
  if (timer != nullptr && SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE) &&
      WaitForSingleObject(timer, INFINITE) == WAIT_OBJECT_0) {
    return;
  }
  Sleep(static_cast<DWORD>((duration_in_100ns + 9'999) / 10'000));
}

Status attempt(std::wstring_view install_folder, std::wstring_view application_path,
               std::span<const std::uint8_t> loader, std::span<const std::uint8_t> application) {
  const std::wstring loader_path = join_path(install_folder, kLoaderFileName);
  if (Status written = replace_file(loader_path, loader); !written.ok()) return written;
  return replace_file(application_path, application);
}

}  // namespace

void pause_between_attempts() {
  const LONGLONG start = now_in_100ns();
  UniqueKernelHandle timer(CreateWaitableTimerExW(
      nullptr, nullptr, kCreateWaitableTimerHighResolution, TIMER_ALL_ACCESS));
  for (LONGLONG remaining = kPauseIn100ns; remaining > 0;
       remaining = kPauseIn100ns - (now_in_100ns() - start)) {
    wait_for(timer.borrow(), remaining);
  }
}

Status write_in_attempts(std::wstring_view install_folder, std::wstring_view application_path,
                         std::span<const std::uint8_t> loader,
                         std::span<const std::uint8_t> application,
                         const AttemptSchedule& schedule) {
  for (int made = 1;; ++made) {
    Status written = attempt(install_folder, application_path, loader, application);
    if (written.ok() || made >= schedule.attempts) return written;
    schedule.pause();
  }
}

}  // namespace lbw
