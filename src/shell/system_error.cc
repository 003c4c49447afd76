#include "shell/system_error.h"

#include "shell/win32.h"

namespace lbw {
namespace {

// NTSTATUS values carried as error codes have this bit set (the facility bit
// of an HRESULT built from an NTSTATUS); their texts live in NTDLL.DLL.
constexpr std::int32_t kNtStatusBit = 0x10000000;
constexpr DWORD kMessageBufferUnits = 2048;

bool is_trailing_blank(char c) {
  return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ';
}

std::string fallback_text(std::int32_t message, std::string_view reason) {
  std::string text = "OS Error ";
  text += std::to_string(message);
  text += " (FormatMessageW() returned ";
  text += reason;
  text += ')';
  return text;
}

void append_utf8(std::string& out, char32_t point) {
  if (point < 0x80) {
    out += static_cast<char>(point);
  } else if (point < 0x800) {
    out += static_cast<char>(0xC0 | (point >> 6));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else if (point < 0x10000) {
    out += static_cast<char>(0xE0 | (point >> 12));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (point >> 18));
    out += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  }
}

}  // namespace

std::optional<std::string> utf8_of_utf16(std::wstring_view units) {
  std::string out;
  out.reserve(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    const wchar_t unit = units[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      append_utf8(out, 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (units[++i] - 0xDC00));
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      return std::nullopt;
    } else {
      append_utf8(out, static_cast<char32_t>(unit));
    }
  }
  return out;
}

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
    return fallback_text(message, "error " + std::to_string(lookup_error));
  }
  std::optional<std::string> text =
      utf8_of_utf16({buffer, length});
  if (!text) return fallback_text(message, "invalid UTF-16");
  while (!text->empty() && is_trailing_blank(text->back())) text->pop_back();
  return *std::move(text);
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
