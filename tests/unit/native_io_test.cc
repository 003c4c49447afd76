// Writing through the native layer: a request that takes nothing is a failure;
// and flushing.
#include "installer/native_io.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "installer/unique_handle.h"

namespace lbw {
namespace {

TEST(WriteAllTest, ARequestThatWritesNothingEndsTheWrite) {
  // A pipe in non-blocking mode takes what fits in its buffer and then
  // reports success with no byte written: a short write that can't go on.
  const std::wstring name =
      L"\\\\.\\pipe\\lbw-short-write-" + std::to_wstring(GetCurrentProcessId());
  UniqueFile reader(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND,
                                     PIPE_TYPE_BYTE | PIPE_NOWAIT, 1, 4096, 4096, 0, nullptr));
  ASSERT_TRUE(reader);
  UniqueFile writer(
      CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(writer);
  DWORD mode = PIPE_NOWAIT;
  ASSERT_TRUE(SetNamedPipeHandleState(writer.borrow(), &mode, nullptr, nullptr));

  const std::vector<std::uint8_t> bytes(1 << 20, 'x');
  OsResult<> written = write_all(writer.borrow(), bytes);
  ASSERT_FALSE(written.ok());
  EXPECT_EQ(error_text_of(written.error()), "failed to write whole buffer");
}

TEST(FlushToDiskTest, OnlyNothingToFlushIsNoFailure) {
  // No file system under Wine answers a flush with 1 or 50, so the rule is
  // checked on its own; a real refusal (a handle without write access) fails.
  EXPECT_TRUE(is_nothing_to_flush(ERROR_INVALID_FUNCTION));
  EXPECT_TRUE(is_nothing_to_flush(ERROR_NOT_SUPPORTED));
  EXPECT_FALSE(is_nothing_to_flush(ERROR_DISK_FULL));
  wchar_t self[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
  UniqueFile reader(CreateFileW(self, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(reader);
  OsResult<> flushed = flush_to_disk(reader.borrow());
  ASSERT_FALSE(flushed.ok());
  EXPECT_EQ(flushed.error().code, ERROR_ACCESS_DENIED);
}

}  // namespace
}  // namespace lbw
