// Stands in for the run inside the real process shell, so that tests can
// watch the shell deal with faults that the installer itself never provokes.
// Built for tests only; the shipped program has no way to reach these.
#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <new>

#include "installer/byte_buffer.h"
#include "installer/result.h"
#include "installer/run_installer.h"
#include "shell/fault.h"
#include "shell/win32.h"

namespace {

bool asked_for(const wchar_t* what) { return std::wcsstr(GetCommandLineW(), what) != nullptr; }

int overflow_stack(int depth) {
  volatile char frame[4096];
  frame[depth % sizeof frame] = static_cast<char>(depth);
  return depth == INT32_MAX ? 0 : overflow_stack(depth + 1) + frame[0];
}

void fault_again_on_exit() { lbw::check(false, "a second fault while ending"); }

void write_output(const wchar_t* text) {
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  char narrow[256];
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow, sizeof narrow, nullptr, nullptr);
  DWORD written = 0;
  if (length > 1) WriteFile(output, narrow, length - 1, &written, nullptr);
}

}  // namespace

namespace lbw {

void run_installer() {
  // A misused result is reported where it was misused, here.
  if (asked_for(L"internal-fault")) static_cast<void>(Result<int>(ErrorText{}).value());
  if (asked_for(L"out-of-memory")) {
    volatile std::size_t too_much = SIZE_MAX / 4;
    static_cast<void>(::operator new(too_much));
  }
  if (asked_for(L"huge-buffer")) ByteBuffer().grow(std::size_t{1} << 60);
  if (asked_for(L"stack-overflow")) static_cast<void>(overflow_stack(0));
  if (asked_for(L"fault-in-fault")) {
    std::atexit(fault_again_on_exit);
    check(false, "a first fault");
  }
  if (asked_for(L"thread-name")) {
    using GetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PWSTR*);
    auto get_description = reinterpret_cast<GetThreadDescriptionFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32"), "GetThreadDescription")));
    wchar_t* name = nullptr;
    if (get_description && SUCCEEDED(get_description(GetCurrentThread(), &name))) {
      write_output(name);
      LocalFree(name);
    }
  }
}

}  // namespace lbw
