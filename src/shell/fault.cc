#include "shell/fault.h"

#include <cstdlib>
#include <cstring>

#include "shell/win32.h"

namespace lbw {
namespace {

constexpr unsigned kFastFailFatalAppExit = 7;

bool g_handling_fault = false;

void write_text(const char* text) { write_standard_error(text, std::strlen(text)); }

}  // namespace

void write_standard_error(const char* text, std::size_t length) {
  HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  if (error == nullptr || error == INVALID_HANDLE_VALUE) return;
  while (length > 0) {
    DWORD written = 0;
    const DWORD request = length > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(length);
    if (!WriteFile(error, text, request, &written, nullptr) || written == 0) return;
    text += written;
    length -= written;
  }
}

void fail_fast() {
  // The __fastfail intrinsic: interrupt 0x29 with the reason in ECX. The
  // system ends the process with STATUS_STACK_BUFFER_OVERRUN (0xC0000409).
  __asm__ volatile("int $0x29" : : "c"(kFastFailFatalAppExit) : "memory");
  __builtin_unreachable();
}

void internal_fault(const char* place, const char* reason) {
  if (g_handling_fault) fail_fast();
  g_handling_fault = true;
  write_text("thread 'main' panicked at ");
  write_text(place);
  write_text(":\n");
  write_text(reason);
  write_text("\n");
  std::exit(kInternalFaultExitStatus);
}

void out_of_memory(std::size_t bytes) {
  char digits[24];
  char* first = digits + sizeof digits;
  do {
    *--first = static_cast<char>('0' + bytes % 10);
    bytes /= 10;
  } while (bytes != 0);
  write_text("memory allocation of ");
  write_standard_error(first, static_cast<std::size_t>(digits + sizeof digits - first));
  write_text(" bytes failed\n");
  fail_fast();
}

}  // namespace lbw
