// Writing through the native layer: a request that takes nothing is a failure.
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

}  // namespace
}  // namespace lbw
