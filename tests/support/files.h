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
// The same, tried again for up to `milliseconds` while something in the tree is
// held (a program started from it that has reported and is still ending);
// whether the tree is gone.
bool remove_tree_when_free(const std::wstring& path, DWORD milliseconds = 15'000);

// Makes `link` a symbolic link to the file or folder `target`: under Wine a
// link on the build machine, which Wine's programs see as the target itself; on
// Windows a symbolic link, which needs developer mode. False where refused.
bool make_symbolic_link(const std::wstring& link, const std::wstring& target);

// Another spelling of a folder, through another drive: under Wine, Z: and the
// path on the build machine; on Windows a drive letter defined for the folder
// (as SUBST does) until this object ends; with a backslash at its end. Empty
// where none can be had.
class OtherDrive {
 public:
  explicit OtherDrive(const std::wstring& folder);
  ~OtherDrive();
  OtherDrive(const OtherDrive&) = delete;
  OtherDrive& operator=(const OtherDrive&) = delete;
  const std::wstring& path() const { return path_; }

 private:
  std::wstring defined_drive_;
  std::wstring path_;
};

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
