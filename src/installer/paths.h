// Path arithmetic on 16-bit units. Paths come from the environment exactly as
// the system gave them and need not be valid UTF-16; nothing here converts,
// normalises or touches the file system.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lbw {

inline bool is_separator(wchar_t unit) { return unit == L'\\' || unit == L'/'; }

inline bool is_drive_letter(wchar_t unit) {
  return (unit >= L'A' && unit <= L'Z') || (unit >= L'a' && unit <= L'z');
}

// Paths of this length or more, counting the terminator, exceed what the
// system accepts without the extended-length prefix.
inline constexpr std::size_t kLegacyPathLimit = 248;

// Joins a plain name onto a folder: an empty folder gives the name alone; a
// folder ending in a separator, or a bare drive such as D:, gets the name
// directly (D: and programm give D:programm, relative to D:'s current folder);
// any other folder gets one backslash between.
std::wstring join_path(std::wstring_view folder, std::wstring_view name);

// The folder that holds `path`, for creating missing parents; nothing when
// that folder would be a root (C:\, \\server\share\), a bare drive (C:) or the
// empty rest of a relative path, since such a path is never created itself.
std::optional<std::wstring_view> parent_folder(std::wstring_view path);

// The staging file beside a target: the name's extension replaced by "neu",
// or ".neu" appended when the name has no dot other than a leading one.
std::wstring staging_path_of(std::wstring_view target);

// Whether a path goes to the system only after GetFullPathNameW: anything not
// already in the \\?\ or \??\ form that is 248 units or longer with its
// terminator, or that is neither a drive path (C:\..., C:) nor begins with
// two separators.
bool needs_extended_form(std::wstring_view path);

// Appends `value` as `digits` hexadecimal digits, for names made of numbers.
void append_hex(std::wstring& text, std::uint64_t value, int digits);

// The extended-length form of a full path: the prefix \\?\ before a drive
// path, \\?\UNC\ in place of a network path's two separators, and \\?\ in
// place of \\.\ (a path of the system's own form is left as it is).
std::wstring extended_form_of_full_path(std::wstring_view full_path);

}  // namespace lbw
