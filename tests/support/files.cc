#include "support/files.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/platform.h"
#include "support/process.h"

namespace lbw::test {

namespace {

// The path on the build machine of a file or folder under Wine, which need
// not exist yet, as Wine's kernel32 maps it.
std::string host_path_of(const std::wstring& path) {
  using UnixFileName = char*(CDECL*)(const wchar_t*);
  const auto unix_file_name = reinterpret_cast<UnixFileName>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
  char* host = unix_file_name != nullptr ? unix_file_name(path.c_str()) : nullptr;
  if (host == nullptr) return {};
  std::string copy(host);
  HeapFree(GetProcessHeap(), 0, host);
  return copy;
}

}  // namespace

std::wstring wine_path(std::string_view host_path) {
  std::wstring path = L"Z:";
  for (const char c : host_path) path += c == '/' ? L'\\' : static_cast<wchar_t>(c);
  return path;
}

Bytes bytes_of(std::string_view text) { return Bytes(text.begin(), text.end()); }

std::optional<Bytes> read_file(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  Bytes bytes;
  std::uint8_t chunk[65536];
  DWORD read = 0;
  while (ReadFile(file, chunk, sizeof chunk, &read, nullptr) && read > 0) {
    bytes.insert(bytes.end(), chunk, chunk + read);
  }
  CloseHandle(file);
  return bytes;
}

void write_file(const std::wstring& path, const Bytes& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << "cannot create a test file, error " << GetLastError();
  DWORD written = 0;
  const bool ok = bytes.empty() || WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()),
                                             &written, nullptr);
  CloseHandle(file);
  ASSERT_TRUE(ok && written == bytes.size());
}

bool exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool is_folder(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void make_folder(const std::wstring& path) {
  ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr) || is_folder(path))
      << "cannot create a test folder, error " << GetLastError();
}

std::vector<std::wstring> folder_entries(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = entry.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(search, &entry));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

std::uint64_t last_write_time(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) |
         data.ftLastWriteTime.dwLowDateTime;
}

void remove_tree(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    for (const std::wstring& name : folder_entries(path)) remove_tree(path + L"\\" + name);
    RemoveDirectoryW(path.c_str());
  } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    RemoveDirectoryW(path.c_str());
  } else {
    DeleteFileW(path.c_str());
  }
}

bool remove_tree_when_free(const std::wstring& path, DWORD milliseconds) {
  for (DWORD waited = 0;; waited += 50) {
    remove_tree(path);
    if (!exists(path)) return true;
    if (waited >= milliseconds) return false;
    Sleep(50);
  }
}

bool make_symbolic_link(const std::wstring& link, const std::wstring& target) {
  if (!running_under_wine()) {
    const DWORD kind = is_folder(target) ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0;
    return CreateSymbolicLinkW(link.c_str(), target.c_str(),
                               kind | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
  }
  // Wine's CreateSymbolicLinkW makes nothing that its file calls follow, but
  // Wine runs the build machine's own programs. The test folders' names are ASCII.
  const std::string line =
      "/bin/ln -s \"" + host_path_of(target) + "\" \"" + host_path_of(link) + "\"";
  StartOptions ln;
  ln.program = L"Z:\\bin\\ln";
  ln.command_line = std::wstring(line.begin(), line.end());
  start_process(ln);
  // What Wine reports as the process may end before the program has run.
  for (int waited = 0; !exists(link) && waited < 10'000; waited += 10) Sleep(10);
  return exists(link);
}

OtherDrive::OtherDrive(const std::wstring& folder) {
  if (running_under_wine()) {
    path_ = wine_path(host_path_of(folder)) + L"\\";
    return;
  }
  const DWORD used = GetLogicalDrives();
  for (wchar_t letter = L'Z'; letter >= L'D'; --letter) {
    if ((used & (1u << (letter - L'A'))) != 0) continue;
    const std::wstring drive{letter, L':'};
    if (!DefineDosDeviceW(0, drive.c_str(), folder.c_str())) return;
    defined_drive_ = drive;
    path_ = drive + L"\\";
    return;
  }
}

OtherDrive::~OtherDrive() {
  if (!defined_drive_.empty()) {
    DefineDosDeviceW(DDD_REMOVE_DEFINITION, defined_drive_.c_str(), nullptr);
  }
}

OpenFile::OpenFile(const std::wstring& path, DWORD access, DWORD share_mode)
    : handle_(CreateFileW(path.c_str(), access, share_mode, nullptr, OPEN_EXISTING, 0, nullptr)) {}

OpenFile::~OpenFile() {
  if (valid()) CloseHandle(handle_);
}

}  // namespace lbw::test
