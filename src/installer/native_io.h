// Reading and writing files through the native layer, at the file's current
// position, one request of at most 4,294,967,295 bytes at a time; and flushing.
#pragma once

#include <cstdint>
#include <span>

#include "installer/result.h"
#include "shell/win32.h"

namespace lbw {

// Reads into `buffer`; 0 bytes at the end of the file. A request that is
// still pending is waited for without limit.
OsResult<std::size_t> read_some(HANDLE file, std::span<std::uint8_t> buffer);

// Writes all of `bytes`, in as many requests as it takes. A request that
// writes nothing while bytes remain fails with "failed to write whole buffer".
OsResult<> write_all(HANDLE file, std::span<const std::uint8_t> bytes);

// Flushes what was written to stable storage. A file system or redirector
// that has nothing to flush is no failure.
OsResult<> flush_to_disk(HANDLE file);

// Tests only: when set, called in place of FlushFileBuffers, so that a test can
// make a flush fail, which no file system under Wine does. The program never
// sets it.
extern BOOL (*flush_file_buffers_for_tests)(HANDLE file);

// Whether a flush that failed with `error` only found nothing to flush: file
// systems and redirectors without a cache of their own answer so.
inline bool is_nothing_to_flush(DWORD error) {
  return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED;
}

}  // namespace lbw
