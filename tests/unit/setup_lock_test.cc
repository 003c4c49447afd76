// Runs into one install folder take turns: the lock's name, and how a run
// fares when another holds the lock or ended while holding it.
#include "installer/setup_lock.h"

#include <gtest/gtest.h>

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

  EXPECT_TRUE(is_distinct(identity));
  EXPECT_FALSE(is_distinct(FolderIdentity{7, {}})) << "an id of zeros names every file";
  FolderIdentity ones{7, {}};
  ones.file_id.fill(0xFF);
  EXPECT_FALSE(is_distinct(ones)) << "an id of ones names every file";
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
