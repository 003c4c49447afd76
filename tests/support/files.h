// Files and folders for tests, by Windows path.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shell/win32.h"

namespace lbw::test {

using Bytes = std::vector<std::uint8_t>;

// A path on the build machine ("/work/x") as Wine's programs see it ("Z:\work\x").
std::wstring wine_path(std::string_view host_path);

Bytes bytes_of(std::string_view text);
std::optional<Bytes> read_file(const std::wstring& path);
// Creates or overwrites the file; fails the test when that is impossible.
void write_file(const std::wstring& path, const Bytes& bytes);
bool exists(const std::wstring& path);
bool is_folder(const std::wstring& path);
void make_folder(const std::wstring& path);
// The names in a folder, sorted, without "." and "..".
std::vector<std::wstring> folder_entries(const std::wstring& folder);
// The last write time in 100 ns units; 0 when it can't be read.
std::uint64_t last_write_time(const std::wstring& path);
// Deletes a file or a whole folder tree, as far as the system allows.
void remove_tree(const std::wstring& path);

// A file held open with a chosen share mode until this object ends.
class OpenFile {
 public:
  OpenFile(const std::wstring& path, DWORD access, DWORD share_mode);
  ~OpenFile();
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

}  // namespace lbw::test
