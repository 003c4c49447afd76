// How an internal fault ends the process. None of this reaches the error
// dialog: an internal fault is a defect of the program, not a failure of the
// run, and the process ends without rolling back anything already done.
#pragma once

#include <cstddef>

namespace lbw {

// Exit status after an internal fault.
inline constexpr int kInternalFaultExitStatus = 101;

// A failed consistency check: writes a report naming the program, the thread,
// the place and the reason to standard error (where there is one), then ends
// the process through the runtime's normal exit with status 101. A fault while
// a fault is being handled ends the process at once through fast fail.
[[noreturn]] void internal_fault(const char* place, const char* reason);

// A place in the source: file and line. Taken as a defaulted argument, it is
// the caller's place, as std::source_location would give it, which also
// records the function's whole signature: every checked function's name would
// then be part of the download.
struct SourcePlace {
  static constexpr SourcePlace current(const char* file = __builtin_FILE(),
                                       unsigned line = __builtin_LINE()) {
    return {file, line};
  }
  const char* file;
  unsigned line;
};

[[noreturn]] void internal_fault(SourcePlace place, const char* reason);

// Checks an internal invariant; a false condition is an internal fault,
// reported at `place`: by default the line of the caller.
inline void check(bool condition, const char* reason, SourcePlace place = SourcePlace::current()) {
  if (!condition) [[unlikely]]
    internal_fault(place, reason);
}

// The report of a thread that has run out of stack, for the handler that sees
// the overflow; it allocates nothing and needs little stack.
void report_stack_overflow();

// An allocation the system refused: writes "memory allocation of <bytes> bytes
// failed" and a line feed to standard error (where there is one), then fails
// fast. Allocates nothing itself.
[[noreturn]] void out_of_memory(std::size_t bytes);

// Ends the process at once through the system's fast-fail mechanism, reason 7
// (fatal application exit): no exit handlers, no unwinding.
[[noreturn]] void fail_fast();

// Writes text to the process's standard error handle, if it has one. Never
// allocates; the outcome is not reported.
void write_standard_error(const char* text, std::size_t length);

}  // namespace lbw
