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

// FILE_RENAME_INFO for the class FileRenameInfoEx: the 32-bit flags 3 (replace
// the target if it exists, with POSIX semantics) at offset 0, no root folder
// (8 bytes at 8), the target's byte length without its terminator (32 bits at
// 16), then the target and its terminator from 20. Without `posix`, for the
// class FileRenameInfo, the flags are 1: its first byte is ReplaceIfExists. No
// block when that length does not fit in 32 bits or the memory can't be had.
FileInfoRecord rename_record(std::wstring_view target, bool posix = true);

// FILE_DISPOSITION_INFO_EX for the class FileDispositionInfoEx: the 32-bit
// flags 0x13, delete with POSIX semantics even when the file is read-only.
FileInfoRecord disposition_record();

}  // namespace lbw
