// The text of a system error code: the system's description and the code.
#include "shell/system_error.h"

#include "shell/utf8.h"
#include "shell/win32.h"

namespace lbw {
namespace {

// NTSTATUS values carried as error codes have this bit set (the facility bit
// of an HRESULT built from an NTSTATUS); their texts live in NTDLL.DLL.
constexpr std::int32_t kNtStatusBit = 0x10000000;
constexpr DWORD kMessageBufferUnits = 2048;

std::string fallback_text(std::int32_t message, std::string_view reason) {
  std::string text = "OS Error ";
  text += std::to_string(message);
  text += " (FormatMessageW() returned ";
  text += reason;
  text += ')';
  return text;
}

}  // namespace

std::string format_system_error(std::int32_t code) {
  wchar_t buffer[kMessageBufferUnits] = {};
  DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  HMODULE source = nullptr;
  std::int32_t message = code;
  if ((code & kNtStatusBit) != 0) {
    if (HMODULE ntdll = GetModuleHandleW(L"NTDLL.DLL")) {
      source = ntdll;
      flags |= FORMAT_MESSAGE_FROM_HMODULE;
      message &= ~kNtStatusBit;
    }
  }
  const DWORD length = FormatMessageW(flags, source, static_cast<DWORD>(message), 0, buffer,
                                      kMessageBufferUnits, nullptr);
  if (length == 0) {
    const auto lookup_error = static_cast<std::int32_t>(GetLastError());
    std::string reason = "error ";
    reason += std::to_string(lookup_error);
    return fallback_text(message, reason);
  }
  std::optional<std::string> text = utf8_of_utf16({buffer, length});
  if (!text) return fallback_text(message, "invalid UTF-16");
  text->resize(without_trailing_blanks(*text).size());
  return *std::move(text);
}

std::string_view without_trailing_blanks(std::string_view text) {
  const std::size_t last_kept = text.find_last_not_of("\t\n\f\r ");
  return text.substr(0, last_kept == std::string_view::npos ? 0 : last_kept + 1);
}

std::string error_text_of(const OsFailure& failure) {
  if (failure.fixed_text != nullptr) return failure.fixed_text;
  std::string text = format_system_error(failure.code);
  text += " (os error ";
  text += std::to_string(failure.code);
  text += ')';
  return text;
}

}  // namespace lbw
