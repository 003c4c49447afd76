// Runs into one install folder take turns: the lock's name, and how a run
// fares when another holds the lock or ended while holding it.
#include "installer/setup_lock.h"

#include <gtest/gtest.h>

#include <thread>

#include "support/temp_folder.h"

namespace lbw {
namespace {

TEST(SetupLockNameTest, OneNamePerFolderWhateverItsSpelling) {
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
