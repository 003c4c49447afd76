// Reading, writing and flushing files through the native layer.
#include "installer/native_io.h"

#include <winternl.h>

#include <algorithm>

extern "C" {
NTSTATUS NTAPI NtReadFile(HANDLE file, HANDLE event, PVOID apc_routine, PVOID apc_context,
                          PIO_STATUS_BLOCK io_status, PVOID buffer, ULONG length,
                          PLARGE_INTEGER offset, PULONG key);
NTSTATUS NTAPI NtWriteFile(HANDLE file, HANDLE event, PVOID apc_routine, PVOID apc_context,
                           PIO_STATUS_BLOCK io_status, PVOID buffer, ULONG length,
                           PLARGE_INTEGER offset, PULONG key);
}

namespace lbw {
namespace {

constexpr NTSTATUS kStatusPending = 0x00000103;
constexpr NTSTATUS kStatusEndOfFile = static_cast<NTSTATUS>(0xC0000011);
constexpr std::size_t kLargestRequest = 0xFFFFFFFF;
constexpr const char* kShortWrite = "failed to write whole buffer";

ULONG request_length(std::size_t available) {
  return static_cast<ULONG>(std::min(available, kLargestRequest));
}

// A handle opened for synchronous access can still report a pending request
// (a pipe, a redirected device); its final status arrives in the status block
// once the handle is signalled.
OsResult<std::size_t> outcome(HANDLE file, NTSTATUS status, IO_STATUS_BLOCK& io_status) {
  if (status == kStatusPending) {
    WaitForSingleObject(file, INFINITE);
    status = io_status.Status;
  }
  if (status == kStatusEndOfFile) return std::size_t{0};
  if (!NT_SUCCESS(status)) return os_error(RtlNtStatusToDosError(status));
  return static_cast<std::size_t>(io_status.Information);
}

}  // namespace

OsResult<std::size_t> read_some(HANDLE file, std::span<std::uint8_t> buffer) {
  IO_STATUS_BLOCK io_status{};
  const NTSTATUS status = NtReadFile(file, nullptr, nullptr, nullptr, &io_status, buffer.data(),
                                     request_length(buffer.size()), nullptr, nullptr);
  return outcome(file, status, io_status);
}

OsResult<> write_all(HANDLE file, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    IO_STATUS_BLOCK io_status{};
    const NTSTATUS status = NtWriteFile(file, nullptr, nullptr, nullptr, &io_status,
                                        const_cast<std::uint8_t*>(bytes.data()),
                                        request_length(bytes.size()), nullptr, nullptr);
    OsResult<std::size_t> written = outcome(file, status, io_status);
    if (!written.ok()) return written.error();
    if (written.value() == 0) return OsFailure{.fixed_text = kShortWrite};
    bytes = bytes.subspan(written.value());
  }
  return {};
}

BOOL (*flush_file_buffers_for_tests)(HANDLE file) = nullptr;

OsResult<> flush_to_disk(HANDLE file) {
  if (flush_file_buffers_for_tests ? flush_file_buffers_for_tests(file) : FlushFileBuffers(file)) {
    return {};
  }
  const DWORD error = GetLastError();
  if (is_nothing_to_flush(error)) return {};
  return os_error(error);
}

}  // namespace lbw
