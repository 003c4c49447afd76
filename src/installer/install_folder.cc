// Settling the install folder from the environment, and creating it with its
// missing parents.
#include "installer/install_folder.h"

#include <optional>
#include <vector>

#include "installer/file_system.h"
#include "installer/messages.h"
#include "installer/paths.h"

namespace lbw {
namespace {

// A variable counts as there when the lookup returns it; a lookup that fails
// for any reason counts as absent.
std::optional<std::wstring> environment_variable(const wchar_t* name) {
  std::wstring value(256, L'\0');
  for (;;) {
    SetLastError(ERROR_SUCCESS);
    const DWORD length =
        GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    // An empty value also gives 0, but leaves the last error alone.
    if (length == 0 && GetLastError() != ERROR_SUCCESS) return std::nullopt;
    if (length < value.size()) {
      value.resize(length);
      return value;
    }
    value.resize(length);  // the size needed, with the terminator
  }
}

bool is_not_found(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
         error == ERROR_INVALID_DRIVE || error == ERROR_BAD_NETPATH || error == ERROR_BAD_NET_NAME;
}

bool is_folder(std::wstring_view path) {
  const std::optional<DWORD> attributes = attributes_following_links(path);
  return attributes && (*attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Creates one folder; one that exists already, following links, counts as
// created. Returns the system's error code, or 0.
DWORD create_folder(std::wstring_view path) {
  OsResult<std::wstring> converted = system_path(path);
  if (!converted.ok()) return static_cast<DWORD>(converted.error().code);
  if (CreateDirectoryW(converted.value().c_str(), nullptr)) return ERROR_SUCCESS;
  const DWORD error = GetLastError();
  const bool exists = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
  return exists && is_folder(path) ? ERROR_SUCCESS : error;
}

ErrorText folder_error(DWORD error) {
  return messages::error(messages::kFolderNotCreated, error_text_of(os_error(error)));
}

}  // namespace

Result<std::wstring> settle_install_folder() {
  if (std::optional<std::wstring> data_root = environment_variable(L"LBW_DATA")) {
    return join_path(*data_root, L"programm");
  }
  if (std::optional<std::wstring> local = environment_variable(L"LOCALAPPDATA")) {
    return join_path(join_path(*local, L"Programs"), L"Lirabel Warden");
  }
  return messages::error(messages::kLocalAppDataMissing);
}

Status create_install_folder(std::wstring_view folder) {
  // Walk upward while folders are missing, remembering them innermost first.
  std::vector<std::wstring_view> missing;
  std::optional<std::wstring_view> next = folder;
  while (next) {
    const DWORD error = create_folder(*next);
    if (error == ERROR_SUCCESS) break;
    if (!is_not_found(error)) return folder_error(error);
    missing.push_back(*next);
    next = parent_folder(*next);
  }
  // Then create them outward.
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (const DWORD error = create_folder(*it); error != ERROR_SUCCESS) return folder_error(error);
  }
  return {};
}

}  // namespace lbw
