#include "installer/file_replace.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "installer/file_system.h"
#include "installer/messages.h"
#include "installer/native_io.h"
#include "installer/paths.h"

namespace lbw {
namespace {

// Information classes that mingw's headers name only for newer targets.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr auto kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
constexpr DWORD kRenameReplaceIfExists = 0x1;
constexpr DWORD kRenamePosixSemantics = 0x2;
constexpr DWORD kDispositionDelete = 0x1;
constexpr DWORD kDispositionPosixSemantics = 0x2;
constexpr DWORD kDispositionIgnoreReadOnly = 0x10;

// FILE_RENAME_INFO with its 32-bit Flags member.
struct RenameRecord {
  DWORD flags;
  HANDLE root_directory;
  DWORD file_name_length;
  wchar_t file_name[1];
};
static_assert(offsetof(RenameRecord, file_name) == 20);

// How much of the installed file is read and compared at a time.
constexpr std::size_t kCompareChunk = 64 * 1024;

std::uint64_t size_of(const BY_HANDLE_FILE_INFORMATION& information) {
  return (std::uint64_t{information.nFileSizeHigh} << 32) | information.nFileSizeLow;
}

// Reads the installed file to its end and compares it with the content, a
// piece at a time, so that no second copy of a large file is ever held. Any
// failure on the way (no file, no access, a read error) only means "not known
// to be equal".
bool holds_content(std::wstring_view target, std::span<const std::uint8_t> content) {
  OsResult<UniqueFile> file = open_file(target, GENERIC_READ, OPEN_EXISTING, 0);
  if (!file.ok()) return false;
  BY_HANDLE_FILE_INFORMATION information;
  if (GetFileInformationByHandle(file->borrow(), &information) &&
      size_of(information) != content.size()) {
    return false;
  }
  std::uint8_t chunk[kCompareChunk];
  std::size_t compared = 0;
  for (;;) {
    OsResult<std::size_t> read = read_some(file->borrow(), chunk);
    if (!read.ok()) return false;
    if (*read == 0) return compared == content.size();
    if (*read > content.size() - compared ||
        !std::equal(chunk, chunk + *read, content.begin() + compared)) {
      return false;
    }
    compared += *read;
  }
}

// Creates the staging file or empties the one that is there, writes the
// content and flushes it, so that the rename that follows can never put a
// file with the right size but unwritten bytes in place after a power loss.
OsResult<> write_staging_file(std::wstring_view staging, std::span<const std::uint8_t> content) {
  bool existed = false;
  OsResult<UniqueFile> file = open_file(staging, GENERIC_WRITE, OPEN_ALWAYS, 0, &existed);
  if (!file.ok()) return file.error();
  if (existed) {
    FILE_ALLOCATION_INFO allocation{};
    FILE_END_OF_FILE_INFO end_of_file{};
    if (!SetFileInformationByHandle(file->borrow(), FileAllocationInfo, &allocation,
                                    sizeof allocation) &&
        !SetFileInformationByHandle(file->borrow(), FileEndOfFileInfo, &end_of_file,
                                    sizeof end_of_file)) {
      return os_error(GetLastError());
    }
  }
  if (OsResult<> written = write_all(file->borrow(), content); !written.ok()) return written;
  if (!FlushFileBuffers(file->borrow())) return os_error(GetLastError());
  return {};
}

// MoveFileExW refuses with access denied where the target is open elsewhere,
// even with delete sharing; a rename with POSIX semantics through a handle
// replaces such a target (Windows 10 1809 and later).
bool rename_through_handle(const std::wstring& staging, const std::wstring& target) {
  OsResult<UniqueFile> file = open_file(staging, DELETE, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
  if (!file.ok()) return false;
  const std::size_t name_bytes = target.size() * sizeof(wchar_t);
  if (name_bytes > UINT32_MAX) return false;
  const std::size_t record_size = offsetof(RenameRecord, file_name) + name_bytes + sizeof(wchar_t);
  std::unique_ptr<RenameRecord, decltype(&std::free)> record(
      static_cast<RenameRecord*>(std::malloc(record_size)), &std::free);
  if (!record) return false;
  record->flags = kRenameReplaceIfExists | kRenamePosixSemantics;
  record->root_directory = nullptr;
  record->file_name_length = static_cast<DWORD>(name_bytes);
  std::memcpy(record->file_name, target.c_str(), name_bytes + sizeof(wchar_t));
  return SetFileInformationByHandle(file->borrow(), kFileRenameInfoEx, record.get(),
                                    static_cast<DWORD>(record_size));
}

bool rename_onto_target(std::wstring_view staging, std::wstring_view target) {
  OsResult<std::wstring> from = system_path(staging);
  if (!from.ok()) return false;
  OsResult<std::wstring> to = system_path(target);
  if (!to.ok()) return false;
  if (MoveFileExW(from->c_str(), to->c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  return GetLastError() == ERROR_ACCESS_DENIED && rename_through_handle(*from, *to);
}

// Removes the staging file after a failed rename, as far as the system allows.
void remove_staging_file(std::wstring_view staging) {
  OsResult<std::wstring> path = system_path(staging);
  if (!path.ok()) return;
  if (DeleteFileW(path->c_str()) || GetLastError() != ERROR_ACCESS_DENIED) return;
  // Access denied: a read-only file, or one still open elsewhere.
  OsResult<UniqueFile> file = open_file(*path, DELETE, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT);
  if (!file.ok()) return;
  DWORD flags = kDispositionDelete | kDispositionPosixSemantics | kDispositionIgnoreReadOnly;
  SetFileInformationByHandle(file->borrow(), kFileDispositionInfoEx, &flags, sizeof flags);
}

}  // namespace

Status replace_file(std::wstring_view target, std::span<const std::uint8_t> content) {
  if (holds_content(target, content)) return {};
  const std::wstring staging = staging_path_of(target);
  if (OsResult<> written = write_staging_file(staging, content); !written.ok()) {
    return messages::error(messages::kNotUnpacked, error_text_of(written.error()));
  }
  if (!rename_onto_target(staging, target)) {
    remove_staging_file(staging);
    return messages::error(messages::kOlderVersionRunning);
  }
  return {};
}

}  // namespace lbw
