// UTF-8 from 16-bit units, for texts that leave the program as bytes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace lbw {

// Appends the UTF-8 form of one code point.
void append_utf8(std::string& out, char32_t point);

// Exact conversion of UTF-16 units to UTF-8; nothing for an unpaired surrogate.
std::optional<std::string> utf8_of_utf16(std::wstring_view units);

}  // namespace lbw
