// The message box that shows the one error that ended a run.
#include "installer/error_dialog.h"

#include "installer/messages.h"
#include "shell/win32.h"

namespace lbw {
namespace {

// The length of the UTF-8 sequence that a lead byte starts.
std::size_t sequence_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xF0) return 4;
  if (lead >= 0xE0) return 3;
  return 2;
}

}  // namespace

std::wstring to_utf16z(std::string_view utf8) {
  std::wstring units;
  units.reserve(utf8.size() + 1);
  for (std::size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    const std::size_t length = sequence_length(lead);
    check(i + length <= utf8.size(), "text ends inside a UTF-8 sequence");
    char32_t point = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
      point = (point << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    }
    i += length;
    if (point >= 0x10000) {
      point -= 0x10000;
      units += static_cast<wchar_t>(0xD800 + (point >> 10));
      units += static_cast<wchar_t>(0xDC00 + (point & 0x3FF));
    } else {
      units += static_cast<wchar_t>(point);
    }
  }
  units += L'\0';
  return units;
}

void show_error(std::string_view text) {
  const std::wstring wide_text = to_utf16z(text);
  const std::wstring wide_title = to_utf16z(messages::kTitle);
  // MB_ICONERROR alone: one OK button, application-modal, no topmost or
  // foreground flag. What the box returns is of no interest.
  MessageBoxW(nullptr, wide_text.c_str(), wide_title.c_str(), MB_ICONERROR);
}

}  // namespace lbw
