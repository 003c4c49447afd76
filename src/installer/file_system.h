// Thin wrappers around the file-system calls that several steps share. Each
// reports the system's error code on failure.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "installer/result.h"
#include "installer/unique_handle.h"
#include "shell/win32.h"

namespace lbw {

// The full path the system makes of `path` (GetFullPathNameW), any length.
OsResult<std::wstring> full_path_of(std::wstring_view path);

// The form in which `path` is handed to the system: unchanged when it is a
// short drive or network path or already extended; otherwise made absolute
// and given the extended-length prefix, so long and relative paths work alike.
OsResult<std::wstring> system_path(std::wstring_view path);

// Opens or creates a file with share mode 7 (read, write and delete shared)
// and no security attributes. The path is converted by system_path first.
// `existed`, when given, tells whether OPEN_ALWAYS found a file already there.
OsResult<UniqueFile> open_file(std::wstring_view path, DWORD access, DWORD disposition, DWORD flags,
                               bool* existed = nullptr);

// The attributes of whatever is at `path`, following symbolic links; nothing
// when it can't be read.
std::optional<DWORD> attributes_following_links(std::wstring_view path);

}  // namespace lbw
