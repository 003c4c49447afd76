#include "installer/file_replace.h"

#include <algorithm>
#include <cstddef>

#include "installer/file_records.h"
#include "installer/file_system.h"
#include "installer/messages.h"
#include "installer/native_io.h"
#include "installer/paths.h"

namespace lbw {
namespace {

// Information classes that mingw's headers name only for newer targets.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr auto kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);

// How much of the installed file is read and compared at a time.
constexpr std::size_t kCompareChunk = 64 * 1024;

std::uint64_t size_of(const BY_HANDLE_FILE_INFORMATION& information) {
  return (std::uint64_t{information.nFileSizeHigh} << 32) | information.nFileSizeLow;
}

bool set_information(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, const FileInfoRecord& record) {
  return record.bytes && SetFileInformationByHandle(file, kind, record.bytes.get(),
                                                    static_cast<DWORD>(record.size));
}

// Reads the installed file to its end and compares it with the content, a
// piece at a time, so that no second copy of a large file is ever held. Any
// failure on the way (no file, no access, a read error) only means "not known
// to be equal".
bool holds_content(std::wstring_view target, std::span<const std::uint8_t> content) {
  OsResult<UniqueFile> opened = open_file(target, GENERIC_READ, kShareAll, OPEN_EXISTING, 0);
  if (!opened.ok()) return false;
  const HANDLE file = opened.value().borrow();
  BY_HANDLE_FILE_INFORMATION information;
  if (GetFileInformationByHandle(file, &information) && size_of(information) != content.size()) {
    return false;
  }
  std::uint8_t chunk[kCompareChunk];
  std::size_t compared = 0;
  for (;;) {
    OsResult<std::size_t> read = read_some(file, chunk);
    if (!read.ok()) return false;
    const std::size_t got = read.value();
    if (got == 0) return compared == content.size();
    if (got > content.size() - compared ||
        !std::equal(chunk, chunk + got, content.begin() + compared)) {
      return false;
    }
    compared += got;
  }
}

// Creates the staging file or empties the one that is there, writes the
// content and flushes it, so that the rename that follows can never put a
// file with the right size but unwritten bytes in place after a power loss.
// While it is open nobody else may write to it: another run of the setup
// program writing the same staging file would otherwise write straight into
// the installed file once this one has renamed it.
OsResult<> write_staging_file(std::wstring_view staging, std::span<const std::uint8_t> content) {
  bool existed = false;
  OsResult<UniqueFile> opened =
      open_file(staging, GENERIC_WRITE, kShareAllButWriting, OPEN_ALWAYS, 0, &existed);
  if (!opened.ok()) return opened.error();
  const HANDLE file = opened.value().borrow();
  if (existed) {
    FILE_ALLOCATION_INFO allocation{};
    FILE_END_OF_FILE_INFO end_of_file{};
    if (!SetFileInformationByHandle(file, FileAllocationInfo, &allocation, sizeof allocation) &&
        !SetFileInformationByHandle(file, FileEndOfFileInfo, &end_of_file, sizeof end_of_file)) {
      return os_error(GetLastError());
    }
  }
  if (OsResult<> written = write_all(file, content); !written.ok()) return written;
  return flush_to_disk(file);
}

// MoveFileExW refuses with access denied where the target is open elsewhere,
// even with delete sharing; a rename with POSIX semantics through a handle
// replaces such a target (Windows 10 1809 and later).
bool rename_through_handle(const std::wstring& staging, const std::wstring& target) {
  OsResult<UniqueFile> file = open_file(staging, DELETE, kShareAll, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
  return file.ok() &&
         set_information(file.value().borrow(), kFileRenameInfoEx, rename_record(target));
}

bool rename_onto_target(std::wstring_view staging, std::wstring_view target) {
  OsResult<std::wstring> from = system_path(staging);
  if (!from.ok()) return false;
  OsResult<std::wstring> to = system_path(target);
  if (!to.ok()) return false;
  if (MoveFileExW(from.value().c_str(), to.value().c_str(), MOVEFILE_REPLACE_EXISTING)) {
    return true;
  }
  return GetLastError() == ERROR_ACCESS_DENIED && rename_through_handle(from.value(), to.value());
}

// Removes the staging file after a failed rename, as far as the system allows.
void remove_staging_file(std::wstring_view staging) {
  OsResult<std::wstring> path = system_path(staging);
  if (!path.ok()) return;
  if (DeleteFileW(path.value().c_str()) || GetLastError() != ERROR_ACCESS_DENIED) return;
  // Access denied: a read-only file, or one still open elsewhere.
  OsResult<UniqueFile> file =
      open_file(path.value(), DELETE, kShareAll, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT);
  if (file.ok())
    set_information(file.value().borrow(), kFileDispositionInfoEx, disposition_record());
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
