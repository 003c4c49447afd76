// Runs into one install folder take turns: the lock's name, and how a run
// fares when another holds the lock or ended while holding it.
#include "installer/setup_lock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <thread>

#include "support/temp_folder.h"

namespace lbw {
namespace {

TEST(SetupLockNameTest, OneNamePerIdentity) {
  const FolderIdentity identity{
      0x0123456789ABCDEF,
      {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE, 1, 2, 3, 4, 5, 6, 7, 0x80}};
  const std::wstring name = setup_lock_name(identity);
  EXPECT_EQ(name, L"Local\\Lirabel Warden Setup 0123456789ABCDEF-1032547698BADCFE0102030405060780");
  FolderIdentity other_volume = identity;
  other_volume.volume_serial ^= 1ull << 63;
  FolderIdentity other_file = identity;
  other_file.file_id[15] = 0;  // only the 128-bit id tells these apart, as on ReFS
  EXPECT_NE(setup_lock_name(other_volume), name);
  EXPECT_NE(setup_lock_name(other_file), name);
  EXPECT_NE(setup_lock_name(L"C:\\Users\\A\\Programs\\Lirabel Warden").size(), name.size());

  // The 128-bit id names the turn, else the 64-bit index, else the path (none
  // here). An id of all zeros (no such ids) or all ones (none established),
  // judged at its own width, is no id: it would name every file.
  FolderIdentity ones{7, {}};
  ones.file_id.fill(0xFF);
  const FolderIndex index{9, 0x0807060504030201};
  const FolderIdentity from_index{9, {1, 2, 3, 4, 5, 6, 7, 8}};
  FolderIdentity index_of_ones{9, {}};
  std::fill_n(index_of_ones.file_id.begin(), 8, 0xFF);
  const struct {
    std::optional<FolderIdentity> by_id;
    std::optional<FolderIndex> by_index;
    std::optional<FolderIdentity> named_by;
  } rows[] = {{identity, index, identity},
              {FolderIdentity{7, {}}, index, from_index},
              {ones, index, from_index},
              {index_of_ones, index, index_of_ones},  // only 8 bytes of ones: an id
              {std::nullopt, index, from_index},
              {ones, FolderIndex{9, 0}, std::nullopt},
              {FolderIdentity{7, {}}, FolderIndex{9, UINT64_MAX}, std::nullopt},
              {std::nullopt, std::nullopt, std::nullopt}};
  for (const auto& row : rows) {
    EXPECT_EQ(identity_to_name_turn(row.by_id, row.by_index), row.named_by) << &row - rows;
  }
}

TEST(SetupLockNameTest, WithoutIdentityOneNamePerPathWhateverItsCaseOrPrefix) {
  const std::wstring name = setup_lock_name(L"C:\\Users\\A\\Programs\\Lirabel Warden");
  EXPECT_TRUE(name.starts_with(L"Local\\")) << "not in the session's namespace";
  EXPECT_EQ(setup_lock_name(L"c:\\users\\a\\PROGRAMS\\lirabel warden"), name);
  EXPECT_EQ(setup_lock_name(L"\\\\?\\C:\\Users\\A\\Programs\\Lirabel Warden"), name);
  EXPECT_NE(setup_lock_name(L"C:\\Users\\B\\Programs\\Lirabel Warden"), name);
}

class SetupLockTest : public test::TempFolderTest {};

TEST_F(SetupLockTest, AbandonedLockIsTakenAndAHeldOneIsWaitedForWithinBounds) {
  // A mutex belongs to the thread that took it: here other runs are threads.
  // The first ends holding the lock, as a run that is killed does.
  std::thread([&] { EXPECT_TRUE((new SetupLock(temp_.path()))->held()); }).join();
  const SetupLock lock(temp_.path(), 100);
  EXPECT_TRUE(lock.held()) << "an abandoned lock was not taken";
  std::thread([&] { EXPECT_FALSE(SetupLock(temp_.path(), 100).held()); }).join();
}

}  // namespace
}  // namespace lbw
