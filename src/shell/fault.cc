// Reporting an internal fault, a stack overflow or exhausted memory on standard
// error, and ending the process.
#include "shell/fault.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "shell/win32.h"

namespace lbw {
namespace {

constexpr unsigned kFastFailFatalAppExit = 7;
// How every report begins: the program, then what happened to it.
constexpr char kReportStart[] = "Lirabel Warden Setup stopped after an internal error";

bool g_handling_fault = false;

void write_text(const char* text) { write_standard_error(text, std::strlen(text)); }

void write_decimal(std::uint64_t value) {
  char digits[24];
  char* first = digits + sizeof digits;
  do {
    *--first = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  write_standard_error(first, static_cast<std::size_t>(digits + sizeof digits - first));
}

// The first line of a fault report, up to the place.
void begin_fault_report() {
  if (g_handling_fault) fail_fast();
  g_handling_fault = true;
  write_text(kReportStart);
  write_text(" in thread 'main'\nat ");
}

[[noreturn]] void end_fault_report(const char* reason) {
  write_text(": ");
  write_text(reason);
  write_text("\n");
  std::exit(kInternalFaultExitStatus);
}

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
  begin_fault_report();
  write_text(place);
  end_fault_report(reason);
}

void internal_fault(SourcePlace place, const char* reason) {
  begin_fault_report();
  write_text(place.file);
  write_text(":");
  write_decimal(place.line);
  end_fault_report(reason);
}

void report_stack_overflow() {
  write_text(kReportStart);
  write_text(": thread 'main' ran out of stack\n");
}

void out_of_memory(std::size_t bytes) {
  write_text("memory allocation of ");
  write_decimal(bytes);
  write_text(" bytes failed\n");
  fail_fast();
}

}  // namespace lbw
