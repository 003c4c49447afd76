// The records that rename and delete a file through a handle
// (SetFileInformationByHandle), built apart from those calls so that their
// bytes can be checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

namespace lbw {

// A record in a block of its own; no block when it could not be built.
struct FileInfoRecord {
  struct Free {
    void operator()(std::uint8_t* block) const { std::free(block); }
  };
  std::unique_ptr<std::uint8_t[], Free> bytes;
  std::size_t size = 0;
};

// Flags of a rename through a handle (FILE_RENAME_INFORMATION in ntifs.h and
// FileRenameInformationEx in MS-FSCC; the class FileRenameInfoEx takes them).
// Replace the target if it exists:
inline constexpr std::uint32_t kRenameReplaceIfExists = 0x1;
// ... even while other handles to it are open; they keep the old file:
inline constexpr std::uint32_t kRenamePosixSemantics = 0x2;
// ... even where the target is read-only (Windows 10 1809 and later; it needs
// the right to write the target's attributes):
inline constexpr std::uint32_t kRenameIgnoreReadOnly = 0x40;

// FILE_RENAME_INFO: the 32-bit flags at offset 0, no root folder (8 bytes at
// 8), the target's byte length without its terminator (32 bits at 16), then
// the target and its terminator from 20. For the class FileRenameInfo the
// flags are kRenameReplaceIfExists alone: its first byte is ReplaceIfExists.
// No block when that length does not fit in 32 bits or the memory can't be had.
FileInfoRecord rename_record(std::wstring_view target, std::uint32_t flags);

// FILE_DISPOSITION_INFO_EX for the class FileDispositionInfoEx: the 32-bit
// flags 0x13, delete with POSIX semantics even when the file is read-only.
FileInfoRecord disposition_record();

}  // namespace lbw
