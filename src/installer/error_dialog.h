// The installer's only user interface: one modal message box for the error
// that ended the run.
#pragma once

#include <string>
#include <string_view>

namespace lbw {

// The UTF-16 units of well-formed UTF-8 text, followed by one zero unit that
// is part of the returned string (an empty text gives the zero unit alone).
// Code points above U+FFFF become surrogate pairs, high unit first.
std::wstring to_utf16z(std::string_view utf8);

// Shows the text in a message box captioned "Lirabel Warden" with a stop icon
// and one OK button, owned by no window; returns when the user has closed it.
// A box that can't be shown is not reported anywhere.
void show_error(std::string_view text);

}  // namespace lbw
