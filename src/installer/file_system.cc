// Thin wrappers around the file-system calls that several steps share.
#include "installer/file_system.h"

#include "installer/paths.h"

namespace lbw {
namespace {

OsFailure too_long() { return os_error(ERROR_FILENAME_EXCED_RANGE); }

// Calls `get(path, buffer, size)`, a system call that writes a path and
// returns its length, or the size it needs with the terminator, or 0 on failure.
template <typename Get>
OsResult<std::wstring> path_from_system(const std::wstring& path, Get get) {
  std::wstring result(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = get(path.c_str(), result.data(), static_cast<DWORD>(result.size()));
    if (length == 0) return os_error(GetLastError());
    if (length < result.size()) {  // written, without the terminator
      result.resize(length);
      return result;
    }
    result.resize(length);  // the size needed, with the terminator
  }
}

}  // namespace

OsResult<std::wstring> full_path_of(std::wstring_view path) {
  if (path.size() > kLongestSystemText) return too_long();
  return path_from_system(std::wstring(path), [](const wchar_t* in, wchar_t* out, DWORD size) {
    return GetFullPathNameW(in, size, out, nullptr);
  });
}

OsResult<std::wstring> short_path_of(std::wstring_view path) {
  OsResult<std::wstring> converted = system_path(path);
  if (!converted.ok()) return converted.error();
  return path_from_system(converted.value(), GetShortPathNameW);
}

OsResult<std::wstring> system_path(std::wstring_view path) {
  if (!needs_extended_form(path)) {
    if (path.size() > kLongestSystemText) return too_long();
    return std::wstring(path);
  }
  OsResult<std::wstring> full = full_path_of(path);
  if (!full.ok()) return full.error();
  std::wstring extended = extended_form_of_full_path(full.value());
  if (extended.size() > kLongestSystemText) return too_long();
  return extended;
}

OsResult<UniqueFile> open_file(std::wstring_view path, DWORD access, DWORD share_mode,
                               DWORD disposition, DWORD flags) {
  OsResult<std::wstring> converted = system_path(path);
  if (!converted.ok()) return converted.error();
  UniqueFile file(CreateFileW(converted.value().c_str(), access, share_mode, nullptr, disposition,
                              flags, nullptr));
  if (!file) return os_error(GetLastError());
  return file;
}

std::optional<DWORD> attributes_following_links(std::wstring_view path) {
  // Opening the path without FILE_FLAG_OPEN_REPARSE_POINT resolves links;
  // backup semantics lets the same call open folders.
  OsResult<UniqueFile> file =
      open_file(path, 0, kShareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  if (!file.ok()) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(file.value().borrow(), &information)) return std::nullopt;
  return information.dwFileAttributes;
}

}  // namespace lbw
