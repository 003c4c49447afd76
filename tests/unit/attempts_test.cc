// Writing both files in attempts, with a pause between two attempts, while a
// real lock holds one of them.
#include "installer/attempts.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "installer/messages.h"
#include "support/files.h"
#include "support/temp_folder.h"

namespace lbw {
namespace {

using test::Bytes;
using test::bytes_of;
using test::read_file;

constexpr std::string_view kSuccess = "success";
constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;
const std::string kRenameRefused(messages::kOlderVersionRunning);

// The pause handed to write_in_attempts is a plain function: it counts, and
// runs what the test at hand wants done in that pause.
int pauses = 0;
std::function<void(int pause)> in_pause;  // given the pause's number, from 1

void counted_pause() {
  ++pauses;
  if (in_pause) in_pause(pauses);
}

class WriteInAttemptsTest : public test::TempFolderTest {
 protected:
  WriteInAttemptsTest() {
    pauses = 0;
    in_pause = nullptr;
  }

  std::string write(int attempts) {
    Status status = write_in_attempts(temp_.path(), application_path_, loader_, application_,
                                      {attempts, counted_pause});
    return status.ok() ? std::string(kSuccess) : status.error().text;
  }

  const std::wstring loader_path_ = temp_ / L"WebView2Loader.dll";
  const std::wstring application_path_ = temp_ / L"lirabel-warden.exe";
  const Bytes loader_ = bytes_of("the new loader library");
  const Bytes application_ = bytes_of("the new application");
  const Bytes previous_ = bytes_of("a copy from before");
};

TEST_F(WriteInAttemptsTest, FirstAttemptThatSucceedsIsTheOnlyOne) {
  EXPECT_EQ(write(kUpdateModeAttempts), kSuccess);
  EXPECT_EQ(pauses, 0);
  EXPECT_EQ(read_file(loader_path_), loader_);
  EXPECT_EQ(read_file(application_path_), application_);
}

TEST_F(WriteInAttemptsTest, SingleAttemptEndsAtAFailingLoaderWithoutPausing) {
  test::write_file(loader_path_, previous_);
  test::OpenFile holder(loader_path_, GENERIC_READ, kShareReadWrite);
  ASSERT_TRUE(holder.valid());
  EXPECT_EQ(write(1), kRenameRefused);
  EXPECT_EQ(pauses, 0);
  EXPECT_EQ(read_file(loader_path_), previous_);
  EXPECT_FALSE(test::exists(application_path_)) << "the application was written after all";
}

TEST_F(WriteInAttemptsTest, LockReleasedInAPauseLetsTheNextAttemptSucceed) {
  // The loader is in place after the first attempt; an old time shows any rewrite.
  constexpr std::uint64_t kLongAgo = 125'911'584'000'000'000;  // 2000-01-01
  test::write_file(application_path_, previous_);
  std::optional<test::OpenFile> holder;
  holder.emplace(application_path_, GENERIC_READ, kShareReadWrite);
  ASSERT_TRUE(holder->valid());
  in_pause = [&](int pause) {
    if (pause == 1) {
      HANDLE file = CreateFileW(loader_path_.c_str(), FILE_WRITE_ATTRIBUTES, kShareReadWrite,
                                nullptr, OPEN_EXISTING, 0, nullptr);
      const FILETIME written{static_cast<DWORD>(kLongAgo), static_cast<DWORD>(kLongAgo >> 32)};
      EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &written));
      CloseHandle(file);
    }
    if (pause == 3) holder.reset();
  };
  EXPECT_EQ(write(kUpdateModeAttempts), kSuccess);
  EXPECT_EQ(pauses, 3);
  EXPECT_EQ(test::last_write_time(loader_path_), kLongAgo);
  EXPECT_EQ(read_file(loader_path_), loader_);
  EXPECT_EQ(read_file(application_path_), application_);
}

TEST_F(WriteInAttemptsTest, AllAttemptsFailingGiveTheLastAttemptsText) {
  // Three attempts fail at the rename; before the fourth and last, the lock
  // goes and a folder takes the staging file's place, so that the last
  // attempt fails differently from the ones before it.
  test::write_file(application_path_, previous_);
  std::optional<test::OpenFile> holder;
  holder.emplace(application_path_, GENERIC_READ, kShareReadWrite);
  ASSERT_TRUE(holder->valid());
  in_pause = [&](int pause) {
    if (pause == 3) {
      holder.reset();
      test::make_folder(temp_ / L"lirabel-warden.neu");
    }
  };
  EXPECT_EQ(write(4),
            std::string(messages::kNotUnpacked) + error_text_of(os_error(ERROR_ACCESS_DENIED)));
  EXPECT_EQ(pauses, 3);
  EXPECT_EQ(read_file(application_path_), previous_);
}

TEST(PauseBetweenAttempts, LastsHalfASecondAtLeastAndNotMuchLonger) {
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  for (int i = 0; i < 3; ++i) {
    QueryPerformanceCounter(&start);
    pause_between_attempts();
    QueryPerformanceCounter(&end);
    const double milliseconds = 1000.0 * (end.QuadPart - start.QuadPart) / frequency.QuadPart;
    EXPECT_GE(milliseconds, 500.0) << "pause " << i + 1;
    EXPECT_LT(milliseconds, 1500.0) << "pause " << i + 1;
  }
}

}  // namespace
}  // namespace lbw
