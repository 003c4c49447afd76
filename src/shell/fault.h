// How an internal fault ends the process. None of this reaches the error
// dialog: an internal fault is a defect of the program, not a failure of the
// run, and the process ends without rolling back anything already done.
#pragma once

#include <cstddef>

namespace lbw {

// Exit status after an internal fault.
inline constexpr int kInternalFaultExitStatus = 101;

// A failed consistency check: writes a report naming the thread, the place and
// the reason to standard error (where there is one), then ends the process
// through the runtime's normal exit with status 101. A fault while a fault is
// being handled ends the process at once through fast fail.
[[noreturn]] void internal_fault(const char* place, const char* reason);

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

#define LBW_STRINGIFY_(x) #x
#define LBW_STRINGIFY(x) LBW_STRINGIFY_(x)

// Checks an internal invariant; a false condition is an internal fault.
#define LBW_CHECK(condition, reason)  \
  ((condition) ? static_cast<void>(0) \
               : ::lbw::internal_fault(__FILE__ ":" LBW_STRINGIFY(__LINE__), reason))
