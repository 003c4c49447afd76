// Replacing one installed file: compare, write a staging file, rename it onto
// the target.
#include "installer/file_replace.h"

#include <algorithm>
#include <cstddef>
#include <string>

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

// A name is opened as itself, and a new file is made under the name given,
// never where a link of that name (one that leads nowhere) would lead: that
// name exists then.
constexpr DWORD kNotThroughALink = FILE_FLAG_OPEN_REPARSE_POINT;

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

// A plain rename onto a target that is open elsewhere is refused with access
// denied, even where every holder shares deleting (a running copy, an indexer,
// a virus scanner); a rename with POSIX semantics replaces such a target, whose
// holders keep the old file (Windows 10 1809 and later; others refuse the
// class). A read-only target refuses every rename onto it unless the rename
// asks to ignore the attribute (Windows 10 1809 and later too). A system that
// does not know that flag refuses the whole record as an invalid parameter,
// and one where this user may not write the target's attributes (which the
// flag needs) refuses it as access denied: the rename is tried once more
// without the flag, as it was made before there was one. The handle has
// DELETE access.
bool rename_with_posix_semantics(HANDLE file, std::wstring_view target) {
  constexpr std::uint32_t kReplaceWhileOpen = kRenameReplaceIfExists | kRenamePosixSemantics;
  return set_information(file, kFileRenameInfoEx,
                         rename_record(target, kReplaceWhileOpen | kRenameIgnoreReadOnly)) ||
         set_information(file, kFileRenameInfoEx, rename_record(target, kReplaceWhileOpen));
}

// A name of this run's own beside the staging file: its name, a dot and the
// process id in hexadecimal.
std::wstring name_of_this_run_beside(std::wstring_view staging) {
  std::wstring name = std::wstring(staging) + L'.';
  append_hex(name, GetCurrentProcessId(), 8);
  return name;
}

// A staging file left from before (a killed run, a failed write) is never
// written through: its name may be a hard link to another file, the installed
// one included, or a symbolic link to a file elsewhere. A fresh file is renamed
// onto the name instead, which replaces the name and never what a link leads
// to. (Deleting the name first would do on Windows, but Wine deletes what a
// symbolic link leads to.) The fresh file's handle is the staging file's then.
OsResult<UniqueFile> replace_leftover(std::wstring_view staging) {
  // A leftover that can't be written (read-only, a folder, held open by another
  // process that does not share writing) fails the write. The name itself is
  // opened, as everything after works on the name: a link counts as itself,
  // wherever it leads (into a missing folder, to a file this user may not
  // write, to an unreachable share); Wine, which opens what a link on the
  // build machine leads to, finds one that leads nowhere missing. Opening it
  // changes nothing.
  if (OsResult<UniqueFile> writable =
          open_file(staging, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING, kNotThroughALink);
      !writable.ok() && writable.error().code != ERROR_FILE_NOT_FOUND) {
    return writable.error();
  }
  OsResult<std::wstring> name = system_path(staging);
  if (!name.ok()) return name.error();
  const std::wstring fresh = name_of_this_run_beside(staging);
  OsResult<UniqueFile> opened =
      open_file(fresh, GENERIC_WRITE | DELETE, FILE_SHARE_READ, CREATE_NEW, kNotThroughALink);
  if (!opened.ok()) return opened;
  const HANDLE file = opened.value().borrow();
  const FileInfoRecord record = rename_record(name.value(), kRenameReplaceIfExists);
  if (!record.bytes) return os_error(ERROR_NOT_ENOUGH_MEMORY);
  if (set_information(file, FileRenameInfo, record)) return opened;
  const OsFailure refused = os_error(GetLastError());
  if (refused.code == ERROR_ACCESS_DENIED && rename_with_posix_semantics(file, name.value())) {
    return opened;
  }
  FILE_DISPOSITION_INFO remove{TRUE};
  SetFileInformationByHandle(file, FileDispositionInfo, &remove, sizeof remove);
  return refused;
}

// Makes the staging file anew, writes the content and flushes it, so that the
// rename that follows can never put a file with the right size but unwritten
// bytes in place after a power loss. Until the rename nobody else may write to
// it, rename it or delete it: another run of the setup program that got hold
// of it would otherwise go on writing into what has become the installed file.
OsResult<> write_staging_file(std::wstring_view staging, std::span<const std::uint8_t> content) {
  OsResult<UniqueFile> opened =
      open_file(staging, GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW, kNotThroughALink);
  if (!opened.ok() && opened.error().code == ERROR_FILE_EXISTS) opened = replace_leftover(staging);
  if (!opened.ok()) return opened.error();
  const HANDLE file = opened.value().borrow();
  if (OsResult<> written = write_all(file, content); !written.ok()) return written;
  return flush_to_disk(file);
}

// MoveFileExW refuses with access denied where the target is open elsewhere,
// even with delete sharing; the rename with POSIX semantics replaces it.
bool rename_through_handle(const std::wstring& staging, const std::wstring& target) {
  OsResult<UniqueFile> file = open_file(staging, DELETE, kShareAll, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
  return file.ok() && rename_with_posix_semantics(file.value().borrow(), target);
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
