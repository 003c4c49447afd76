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

// Other handles may read, write and delete the file while it is open.
inline constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The longest path or command line the system takes, in units without the
// terminator: 32,767 with it, since its native strings count their bytes in 16
// bits. Anything longer is refused here with ERROR_FILENAME_EXCED_RANGE, as
// Windows refuses it; other systems have been seen to cut it short instead.
inline constexpr std::size_t kLongestSystemText = 32'766;

// The full path the system makes of `path` (GetFullPathNameW), any length.
OsResult<std::wstring> full_path_of(std::wstring_view path);

// The short form the system gives for an existing `path` (8.3 names where the
// volume has them), in the form of system_path(path).
OsResult<std::wstring> short_path_of(std::wstring_view path);

// The form in which `path` is handed to the system: unchanged when it is a
// short drive or network path or already extended; otherwise made absolute
// and given the extended-length prefix, so long and relative paths work alike.
// A path longer than the system takes, before or after, is refused.
OsResult<std::wstring> system_path(std::wstring_view path);

// Opens or creates a file with the given sharing and no security attributes.
// The path is converted by system_path first.
OsResult<UniqueFile> open_file(std::wstring_view path, DWORD access, DWORD share_mode,
                               DWORD disposition, DWORD flags);

// The attributes of whatever is at `path`, following symbolic links; nothing
// when it can't be read.
std::optional<DWORD> attributes_following_links(std::wstring_view path);

}  // namespace lbw
