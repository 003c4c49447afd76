// Writing both files in attempts, with a pause between two attempts, while a
// real lock or a running program holds one of them.
#include "installer/attempts.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "installer/messages.h"
#include "support/files.h"
#include "support/process.h"
#include "support/setup_rig.h"
#include "support/standin_report.h"
#include "support/temp_folder.h"

namespace lbw {
namespace {

using test::Bytes;
using test::bytes_of;
using test::exists;
using test::last_write_time;
using test::read_file;
using test::write_file;

constexpr std::string_view kSuccess = "success";
constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;
// 2000-01-01 00:00 UTC: a time no file written by a test run can have.
constexpr std::uint64_t kLongAgo = 125'911'584'000'000'000;

std::string outcome_of(Status status) {
  return status.ok() ? std::string(kSuccess) : status.error().text;
}

std::string rename_refused() { return std::string(messages::kOlderVersionRunning); }

std::string write_failed(DWORD code) {
  return std::string(messages::kNotUnpacked) + error_text_of(os_error(code));
}

void set_last_write_time(const std::wstring& path, std::uint64_t time) {
  HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << "error " << GetLastError();
  const FILETIME written{static_cast<DWORD>(time), static_cast<DWORD>(time >> 32)};
  const bool set = SetFileTime(file, nullptr, nullptr, &written);
  CloseHandle(file);
  ASSERT_TRUE(set);
}

double seconds_since(LARGE_INTEGER start) {
  LARGE_INTEGER now;
  LARGE_INTEGER frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart - start.QuadPart) / frequency.QuadPart;
}

// The pause handed to write_in_attempts is a plain function; it counts and
// then runs what the test at hand wants done in that pause.
struct Pauses {
  int count = 0;
  std::function<void(int pause)> step;  // given the number of the pause, from 1
};
Pauses* current_pauses = nullptr;

void counted_pause() {
  ++current_pauses->count;
  if (current_pauses->step) current_pauses->step(current_pauses->count);
}

class WriteInAttemptsTest : public test::TempFolderTest {
 protected:
  WriteInAttemptsTest() { current_pauses = &pauses_; }
  ~WriteInAttemptsTest() override { current_pauses = nullptr; }

  std::string write(int attempts) {
    return outcome_of(write_in_attempts(temp_.path(), application_path_, loader_, application_,
                                        {attempts, counted_pause}));
  }

  Pauses pauses_;
  const std::wstring loader_path_ = temp_ / L"WebView2Loader.dll";
  const std::wstring application_path_ = temp_ / L"lirabel-warden.exe";
  const Bytes loader_ = bytes_of("the new loader library");
  const Bytes application_ = bytes_of("the new application");
  const Bytes previous_ = bytes_of("a copy from before");
};

TEST_F(WriteInAttemptsTest, FirstAttemptThatSucceedsIsTheOnlyOne) {
  EXPECT_EQ(write(kUpdateModeAttempts), kSuccess);
  EXPECT_EQ(pauses_.count, 0);
  EXPECT_EQ(read_file(loader_path_), loader_);
  EXPECT_EQ(read_file(application_path_), application_);
  EXPECT_EQ(test::folder_entries(temp_.path()),
            (std::vector<std::wstring>{L"WebView2Loader.dll", L"lirabel-warden.exe"}));
}

TEST_F(WriteInAttemptsTest, SingleAttemptEndsAtAFailingLoaderWithoutPausing) {
  write_file(loader_path_, previous_);
  test::OpenFile holder(loader_path_, GENERIC_READ, kShareReadWrite);
  ASSERT_TRUE(holder.valid());
  EXPECT_EQ(write(1), rename_refused());
  EXPECT_EQ(pauses_.count, 0);
  EXPECT_EQ(read_file(loader_path_), previous_);
  EXPECT_FALSE(exists(application_path_)) << "the application was written after all";
  EXPECT_FALSE(exists(temp_ / L"lirabel-warden.neu"));
}

TEST_F(WriteInAttemptsTest, LoaderLockedForThreeAttemptsIsWrittenInTheFourth) {
  write_file(loader_path_, previous_);
  std::optional<test::OpenFile> holder;
  holder.emplace(loader_path_, GENERIC_READ, kShareReadWrite);
  ASSERT_TRUE(holder->valid());
  pauses_.step = [&](int pause) {
    if (pause == 3) holder.reset();
  };
  EXPECT_EQ(write(kUpdateModeAttempts), kSuccess);
  EXPECT_EQ(pauses_.count, 3);
  EXPECT_EQ(read_file(loader_path_), loader_);
  EXPECT_EQ(read_file(application_path_), application_);
}

TEST_F(WriteInAttemptsTest, RunningApplicationIsWrittenOnceItHasEnded) {
  // The stand-in application runs from the application path for 1.5 s; the
  // pauses here are 100 ms, so the attempts go on until it has ended.
  const std::wstring report = temp_ / L"report.txt";
  ASSERT_TRUE(CopyFileW(test::standin_app_program().c_str(), application_path_.c_str(), TRUE));
  test::StartOptions options;
  options.program = application_path_;
  options.environment = test::Environment::minimal()
                            .set(L"LBW_STANDIN_SLEEP_MS", L"1500")
                            .set(L"LBW_STANDIN_REPORT", report);
  LARGE_INTEGER start;
  QueryPerformanceCounter(&start);
  test::Process running = test::start_process(options);
  ASSERT_TRUE(running.started());
  ASSERT_TRUE(test::wait_for_standin_report(report).has_value()) << "the program did not start";
  pauses_.step = [](int) { Sleep(100); };

  EXPECT_EQ(write(kUpdateModeAttempts), kSuccess);
  const double seconds = seconds_since(start);
  EXPECT_TRUE(running.wait(0)) << "written while the program still ran";
  EXPECT_GE(pauses_.count, 1);
  EXPECT_LT(pauses_.count, kUpdateModeAttempts);
  EXPECT_GE(seconds, 1.5);
  EXPECT_EQ(read_file(loader_path_), loader_);
  EXPECT_EQ(read_file(application_path_), application_);
  RecordProperty("pauses", pauses_.count);
}

TEST_F(WriteInAttemptsTest, AllAttemptsFailingGiveTheLastAttemptsText) {
  // Three attempts fail at the rename; before the fourth and last, the lock
  // goes and a folder takes the staging file's place, so that the last
  // attempt fails differently from the ones before it.
  write_file(application_path_, previous_);
  std::optional<test::OpenFile> holder;
  holder.emplace(application_path_, GENERIC_READ, kShareReadWrite);
  ASSERT_TRUE(holder->valid());
  pauses_.step = [&](int pause) {
    if (pause == 3) {
      holder.reset();
      test::make_folder(temp_ / L"lirabel-warden.neu");
    }
  };
  EXPECT_EQ(write(4), write_failed(ERROR_ACCESS_DENIED));
  EXPECT_EQ(pauses_.count, 3);
  EXPECT_EQ(read_file(application_path_), previous_);
}

TEST_F(WriteInAttemptsTest, UpdateModeGivesUpAfterItsAttemptsWithOnePauseFewer) {
  write_file(application_path_, previous_);
  test::OpenFile holder(application_path_, GENERIC_READ, kShareReadWrite);
  ASSERT_TRUE(holder.valid());
  EXPECT_EQ(write(kUpdateModeAttempts), rename_refused());
  EXPECT_EQ(pauses_.count, kUpdateModeAttempts - 1);
  EXPECT_EQ(read_file(loader_path_), loader_);
  EXPECT_EQ(read_file(application_path_), previous_);
  EXPECT_FALSE(exists(temp_ / L"lirabel-warden.neu"));
}

TEST_F(WriteInAttemptsTest, LoaderWrittenInTheFirstAttemptIsNotRewrittenLater) {
  write_file(application_path_, previous_);
  std::optional<test::OpenFile> holder;
  holder.emplace(application_path_, GENERIC_READ, kShareReadWrite);
  ASSERT_TRUE(holder->valid());
  // After the first attempt the loader is in place; an old time shows any rewrite.
  pauses_.step = [&](int pause) {
    if (pause == 1) set_last_write_time(loader_path_, kLongAgo);
    if (pause == 4) holder.reset();
  };
  EXPECT_EQ(write(kUpdateModeAttempts), kSuccess);
  EXPECT_EQ(pauses_.count, 4);
  EXPECT_EQ(last_write_time(loader_path_), kLongAgo);
  EXPECT_EQ(read_file(loader_path_), loader_);
  EXPECT_EQ(read_file(application_path_), application_);
}

TEST(PauseBetweenAttempts, LastsHalfASecondAtLeastAndNotMuchLonger) {
  for (int i = 0; i < 3; ++i) {
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    pause_between_attempts();
    const double milliseconds = 1000 * seconds_since(start);
    EXPECT_GE(milliseconds, 500.0) << "pause " << i + 1;
    EXPECT_LT(milliseconds, 1500.0) << "pause " << i + 1;
  }
}

}  // namespace
}  // namespace lbw
