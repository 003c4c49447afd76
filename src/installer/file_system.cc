#include "installer/file_system.h"

#include "installer/paths.h"

namespace lbw {
namespace {

OsFailure too_long() { return os_error(ERROR_FILENAME_EXCED_RANGE); }

}  // namespace

OsResult<std::wstring> full_path_of(std::wstring_view path) {
  if (path.size() > kLongestSystemText) return too_long();
  const std::wstring terminated(path);
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetFullPathNameW(terminated.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0) return os_error(GetLastError());
    if (length < full.size()) {  // written, without the terminator
      full.resize(length);
      return full;
    }
    full.resize(length);  // the size needed, with the terminator
  }
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
                               DWORD disposition, DWORD flags, bool* existed) {
  OsResult<std::wstring> converted = system_path(path);
  if (!converted.ok()) return converted.error();
  UniqueFile file(CreateFileW(converted.value().c_str(), access, share_mode, nullptr, disposition,
                              flags, nullptr));
  if (!file) return os_error(GetLastError());
  if (existed != nullptr) *existed = GetLastError() == ERROR_ALREADY_EXISTS;
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
