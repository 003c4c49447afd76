// The records that rename and delete a file through its handle, byte by byte.
#include "installer/file_records.h"

#include <gtest/gtest.h>

#include <vector>

namespace lbw {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes_of(const FileInfoRecord& record) {
  return record.bytes ? Bytes(record.bytes.get(), record.bytes.get() + record.size) : Bytes{};
}

TEST(FileInfoRecordTest, RenameRecordHoldsFlagsNoRootTheNamesLengthAndTheName) {
  // clang-format off
  EXPECT_EQ(bytes_of(rename_record(
                L"C:\\a", kRenameReplaceIfExists | kRenamePosixSemantics | kRenameIgnoreReadOnly)),
            (Bytes{0x43, 0, 0, 0,                              // replace, POSIX, read-only too
                   0, 0, 0, 0,                                 // (alignment)
                   0, 0, 0, 0, 0, 0, 0, 0,                     // no root folder
                   8, 0, 0, 0,                                 // the name's bytes
                   'C', 0, ':', 0, '\\', 0, 'a', 0, 0, 0}));  // the name, terminated
  // clang-format on
  EXPECT_EQ(bytes_of(rename_record(L"C:\\a", kRenameReplaceIfExists)).front(), 1);
}

TEST(FileInfoRecordTest, DispositionRecordIsTheFlagsAlone) {
  // Delete, with POSIX semantics, even when read-only.
  EXPECT_EQ(bytes_of(disposition_record()), (Bytes{0x13, 0, 0, 0}));
}

}  // namespace
}  // namespace lbw
