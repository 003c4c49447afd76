// The text that stands for a failed system or file operation in a message:
// the system's own description in the user's Windows language, then the code.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace lbw {

// What a failed system or file operation reports: a Windows error code, or,
// for a failure that has no code, a fixed English text of the operation.
struct OsFailure {
  std::int32_t code = 0;
  const char* fixed_text = nullptr;
};

inline OsFailure os_error(unsigned long code) { return {static_cast<std::int32_t>(code)}; }

// "<system text> (os error <code>)" for a code, the code printed as a signed
// 32-bit number; a fixed text alone. The caller owns the result.
std::string error_text_of(const OsFailure& failure);

// The system's description of a code, without trailing line breaks and blanks;
// a fallback text naming the code when the system has none. Allocates only for
// the result.
std::string format_system_error(std::int32_t code);

// The start of a system text that is left once the tabs, line feeds, form
// feeds, carriage returns and blanks at its end are taken off; other white
// space (a no-break space, a vertical tab) stays.
std::string_view without_trailing_blanks(std::string_view text);

}  // namespace lbw
