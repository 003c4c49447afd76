// Putting one file in place, against real files, locks and running programs.
#include "installer/file_replace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "installer/messages.h"
#include "installer/native_io.h"
#include "support/files.h"
#include "support/platform.h"
#include "support/process.h"
#include "support/setup_rig.h"
#include "support/standin_report.h"
#include "support/temp_folder.h"

namespace lbw {
namespace {

using test::Bytes;
using test::bytes_of;
using test::folder_entries;
using test::last_write_time;
using test::read_file;
using test::write_file;
using Names = std::vector<std::wstring>;

constexpr std::string_view kSuccess = "success";
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// 2000-01-01 00:00 UTC: a time no file written by a test run can have.
constexpr std::uint64_t kLongAgo = 125'911'584'000'000'000;

std::string replace(const std::wstring& target, const Bytes& content) {
  Status status = replace_file(target, content);
  return status.ok() ? std::string(kSuccess) : status.error().text;
}

const std::string kRenameRefused(messages::kOlderVersionRunning);

std::string write_failed(DWORD code) {
  return std::string(messages::kNotUnpacked) + error_text_of(os_error(code));
}

// Bytes of a given length that differ from those of another seed.
Bytes sample(std::size_t size, std::uint8_t seed = 1) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 31 + seed);
  return bytes;
}

void set_last_write_time(const std::wstring& path, std::uint64_t time) {
  HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                            0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << "error " << GetLastError();
  const FILETIME written{static_cast<DWORD>(time), static_cast<DWORD>(time >> 32)};
  const bool set = SetFileTime(file, nullptr, nullptr, &written);
  CloseHandle(file);
  ASSERT_TRUE(set);
}

class ReplaceFileTest : public test::TempFolderTest {
 protected:
  // An installed file with old content and an old time, so that any rewrite shows.
  void install_previous(const Bytes& content) {
    write_file(target_, content);
    set_last_write_time(target_, kLongAgo);
  }
  // The target holds `content` and nothing else is left in the folder.
  void expect_only_target(const std::optional<Bytes>& content) {
    EXPECT_EQ(read_file(target_), content);
    EXPECT_EQ(folder_entries(temp_.path()), Names{L"lirabel-warden.exe"});
  }
  // A replacement that Wine may do either way and Windows only one way: the
  // outcome is one of the two (Windows': exactly its own), never half done.
  void expect_whole_outcome(const std::string& outcome, std::string_view on_windows) {
    if (test::running_under_wine()) {
      EXPECT_TRUE(outcome == kSuccess || outcome == kRenameRefused) << outcome;
    } else {
      EXPECT_EQ(outcome, on_windows);
    }
    expect_only_target(outcome == kSuccess ? content_ : previous_);
  }

  const std::wstring target_ = temp_ / L"lirabel-warden.exe";
  const std::wstring staging_ = temp_ / L"lirabel-warden.neu";
  const Bytes previous_ = bytes_of("the copy installed before");
  const Bytes content_ = sample(70'000);
};

TEST_F(ReplaceFileTest, EqualTargetIsLeftUntouched) {
  for (const Bytes& content : {Bytes{}, content_}) {
    install_previous(content);
    EXPECT_EQ(replace(target_, content), kSuccess);
    EXPECT_EQ(last_write_time(target_), kLongAgo) << content.size();
    expect_only_target(content);
  }
  // Also while another handle reads it and shares reading only.
  test::OpenFile reader(target_, GENERIC_READ, FILE_SHARE_READ);
  ASSERT_TRUE(reader.valid());
  EXPECT_EQ(replace(target_, content_), kSuccess);
  EXPECT_EQ(last_write_time(target_), kLongAgo);
  EXPECT_EQ(folder_entries(temp_.path()), Names{L"lirabel-warden.exe"});
}

TEST_F(ReplaceFileTest, MissingOrDifferingTargetIsReplaced) {
  EXPECT_EQ(replace(target_, content_), kSuccess);
  expect_only_target(content_);
  Bytes last_byte = content_;
  last_byte.back() ^= 0x01;
  const Bytes shorter(content_.begin(), content_.end() - 1);
  Bytes longer = content_;
  longer.push_back(0);
  for (const Bytes& installed : {last_byte, shorter, longer, previous_}) {
    install_previous(installed);
    EXPECT_EQ(replace(target_, content_), kSuccess);
    EXPECT_NE(last_write_time(target_), kLongAgo);
    expect_only_target(content_);
  }
  EXPECT_EQ(replace(target_, {}), kSuccess);
  expect_only_target(Bytes{});
}

TEST_F(ReplaceFileTest, LongerStagingFileLeftFromBeforeLeavesNoBytesBehind) {
  install_previous(previous_);
  write_file(staging_, sample(200'000, 7));
  EXPECT_EQ(replace(target_, content_), kSuccess);
  expect_only_target(content_);
}

TEST_F(ReplaceFileTest, TargetPathOfThreeHundredCharacters) {
  // Windows needs the \\?\ form to create the folders; replace_file is given
  // the plain path.
  std::wstring folder = temp_.path();
  while (300 - folder.size() > 120) {
    folder += L"\\" + std::wstring(100, L'd');
    test::make_folder(L"\\\\?\\" + folder);
  }
  const std::wstring name = std::wstring(300 - folder.size() - 1 - 4, L'f') + L".exe";
  const std::wstring target = folder + L"\\" + name;
  ASSERT_EQ(target.size(), 300u);
  EXPECT_EQ(replace(target, previous_), kSuccess);
  EXPECT_EQ(replace(target, content_), kSuccess);
  EXPECT_EQ(read_file(L"\\\\?\\" + target), content_);
  set_last_write_time(L"\\\\?\\" + target, kLongAgo);
  EXPECT_EQ(replace(target, content_), kSuccess);
  EXPECT_EQ(last_write_time(L"\\\\?\\" + target), kLongAgo);
  EXPECT_EQ(folder_entries(L"\\\\?\\" + folder), Names{name});
  test::remove_tree(L"\\\\?\\" + temp_.path() + L"\\" + std::wstring(100, L'd'));
}

TEST_F(ReplaceFileTest, TargetPathInOtherForms) {
  // Each form names the same file.
  std::wstring forward_slashes = target_;
  std::replace(forward_slashes.begin(), forward_slashes.end(), L'\\', L'/');
  for (const std::wstring& form : {L"\\\\?\\" + target_, forward_slashes,
                                   temp_.path() + L"\\.\\sub\\..\\lirabel-warden.exe"}) {
    const Bytes content = sample(1000, static_cast<std::uint8_t>(form.size()));
    EXPECT_EQ(replace(form, content), kSuccess);
    expect_only_target(content);
  }
}

TEST_F(ReplaceFileTest, TargetInAMissingFolder) {
  EXPECT_EQ(replace(temp_ / L"missing\\lirabel-warden.exe", content_),
            write_failed(ERROR_PATH_NOT_FOUND));
  EXPECT_FALSE(test::exists(temp_ / L"missing"));
}

TEST_F(ReplaceFileTest, FailedFlushKeepsTheTarget) {
  // No file system under Wine fails a flush, so this one is made to fail.
  flush_file_buffers_for_tests = [](HANDLE) -> BOOL {
    SetLastError(ERROR_IO_DEVICE);
    return FALSE;
  };
  install_previous(previous_);
  EXPECT_EQ(replace(target_, content_), write_failed(ERROR_IO_DEVICE));
  flush_file_buffers_for_tests = nullptr;
  EXPECT_EQ(read_file(target_), previous_);
  EXPECT_EQ(last_write_time(target_), kLongAgo);
}

// --- A target that cannot be replaced ----------------------------------------

TEST_F(ReplaceFileTest, TargetHeldOpenWithoutDeleteSharingIsKept) {
  // Sharing reading, the target is compared and found different; sharing
  // neither reading nor deleting, it can't be compared and counts as
  // different. Either way the rename is refused.
  const struct {
    const Bytes& installed;
    DWORD access, share;
  } holders[] = {{previous_, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE},
                 {content_, GENERIC_WRITE, FILE_SHARE_WRITE}};
  for (const auto& h : holders) {
    install_previous(h.installed);
    {
      test::OpenFile holder(target_, h.access, h.share);
      ASSERT_TRUE(holder.valid());
      EXPECT_EQ(replace(target_, content_), kRenameRefused);
    }
    EXPECT_EQ(last_write_time(target_), kLongAgo);
    expect_only_target(h.installed);
  }
}

TEST_F(ReplaceFileTest, ReadOnlyTargetIsReplacedOrKeptWhole) {
  // Windows refuses MoveFileExW onto a read-only file (access denied); the
  // rename through the handle that asks to ignore the attribute replaces it.
  // Wine's MoveFileExW replaces it, unless Wine enforces the attribute for a
  // user other than root. Either way nothing is half done.
  install_previous(previous_);
  ASSERT_TRUE(SetFileAttributesW(target_.c_str(), FILE_ATTRIBUTE_READONLY));
  expect_whole_outcome(replace(target_, content_), kSuccess);
}

TEST_F(ReplaceFileTest, TargetHeldOpenWithDeleteSharingIsReplacedOrKeptWhole) {
  // Windows 10 1809 and later replace such a target through the handle
  // rename with POSIX semantics. Wine 8 has no FileRenameInfoEx (it fails
  // with 87), so there the rename is refused. Either way nothing is half done.
  install_previous(previous_);
  test::OpenFile holder(target_, GENERIC_READ, kShareAll);
  ASSERT_TRUE(holder.valid());
  expect_whole_outcome(replace(target_, content_), kSuccess);
}

TEST_F(ReplaceFileTest, RunningProgramIsKept) {
  const std::wstring report = temp_ / L"report.txt";
  ASSERT_TRUE(CopyFileW(test::standin_app_program().c_str(), target_.c_str(), TRUE));
  const std::optional<Bytes> program = read_file(target_);
  test::StartOptions options;
  options.program = target_;
  options.environment = test::Environment::minimal()
                            .set(L"LBW_STANDIN_SLEEP_MS", L"60000")
                            .set(L"LBW_STANDIN_REPORT", report);
  test::Process running = test::start_process(options);
  ASSERT_TRUE(running.started());
  ASSERT_TRUE(test::wait_for_standin_report(report).has_value()) << "the program did not start";

  EXPECT_EQ(replace(target_, content_), kRenameRefused);
  EXPECT_EQ(read_file(target_), program);
  EXPECT_EQ(folder_entries(temp_.path()), (Names{L"lirabel-warden.exe", L"report.txt"}));
  EXPECT_FALSE(running.wait(0)) << "the program ended too early to prove anything";
}

TEST_F(ReplaceFileTest, StagingFileHeldOpenIsNeitherReplacedNorRemoved) {
  // A leftover held open by another process can't be replaced by name: the
  // write fails and everything stays as it was, until it is let go.
  install_previous(previous_);
  write_file(staging_, sample(10, 3));
  {
    test::OpenFile holder(staging_, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_TRUE(holder.valid());
    EXPECT_EQ(replace(target_, content_), write_failed(ERROR_ACCESS_DENIED));
    EXPECT_EQ(read_file(staging_), sample(10, 3));
  }
  EXPECT_EQ(read_file(target_), previous_);
  // Opened elsewhere while it is written (reading, sharing writing), a new
  // staging file can be neither renamed nor removed afterwards.
  ASSERT_TRUE(DeleteFileW(staging_.c_str()));
  static std::wstring staging;
  static HANDLE opened_meanwhile;
  staging = staging_;
  flush_file_buffers_for_tests = [](HANDLE) -> BOOL {
    opened_meanwhile =
        CreateFileW(staging.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, 0, nullptr);
    return TRUE;
  };
  EXPECT_EQ(replace(target_, content_), kRenameRefused);
  flush_file_buffers_for_tests = nullptr;
  ASSERT_NE(opened_meanwhile, INVALID_HANDLE_VALUE);
  CloseHandle(opened_meanwhile);
  EXPECT_EQ(read_file(target_), previous_);
  EXPECT_EQ(read_file(staging_), content_);
  EXPECT_EQ(replace(target_, content_), kSuccess);
  expect_only_target(content_);
}

TEST_F(ReplaceFileTest, StagingFileHeldOpenWithDeleteSharingIsReplacedOrKeptWhole) {
  // An indexer or a scanner holds the leftover, sharing everything: Windows
  // refuses the plain rename onto it, and the rename with POSIX semantics
  // replaces it. Wine has no FileRenameInfoEx (87), so there the write fails.
  install_previous(previous_);
  write_file(staging_, sample(10, 3));
  test::OpenFile holder(staging_, GENERIC_READ, kShareAll);
  ASSERT_TRUE(holder.valid());
  const std::string outcome = replace(target_, content_);
  if (test::running_under_wine() && outcome != kSuccess) {
    EXPECT_EQ(outcome, write_failed(ERROR_ACCESS_DENIED));
    EXPECT_EQ(read_file(staging_), sample(10, 3));
    EXPECT_EQ(read_file(target_), previous_);
  } else {
    EXPECT_EQ(outcome, kSuccess);
    expect_only_target(content_);
  }
}

// A folder where the staging file belongs makes the write fail, which shows
// the staging name and leaves the target as it was.
TEST_F(ReplaceFileTest, FolderInTheStagingFilesPlaceFailsTheWrite) {
  // The code the system gives for opening a folder to write.
  HANDLE refused =
      CreateFileW(temp_.path().c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_ALWAYS, 0, nullptr);
  ASSERT_EQ(refused, INVALID_HANDLE_VALUE);
  const std::string expected = write_failed(GetLastError());
  const struct {
    std::wstring folder, target, staging;
  } cases[] = {{L"1", L"lirabel-warden.exe", L"lirabel-warden.neu"},
               {L"2", L"lirabel-warden", L"lirabel-warden.neu"},
               {L"3", L".profile", L".profile.neu"},
               {L"v1.5", L"lirabel-warden", L"lirabel-warden.neu"}};
  for (const auto& c : cases) {
    const std::wstring folder = temp_ / c.folder;
    test::make_folder(folder);
    write_file(folder + L"\\" + c.target, previous_);
    test::make_folder(folder + L"\\" + c.staging);
    EXPECT_EQ(replace(folder + L"\\" + c.target, content_), expected) << c.target;
    EXPECT_EQ(read_file(folder + L"\\" + c.target), previous_);
    EXPECT_EQ(folder_entries(folder).size(), 2u);
  }
}

// --- A full disk ---------------------------------------------------------------

// A 1 MiB disk that the test fixture "small_disk" mounts on the build machine
// and maps to this drive; without it (mounting refused) these tests skip.
constexpr const wchar_t* kSmallDisk = L"S:\\";
constexpr std::uint64_t kLargestSmallDisk = 4 << 20;

class SmallDiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (test::running_from_test_bundle()) {
      GTEST_SKIP() << "needs the 1 MiB disk that the build machine mounts as S:";
    }
    ULARGE_INTEGER available, total, free;
    if (!GetDiskFreeSpaceExW(kSmallDisk, &available, &total, &free)) {
      GTEST_SKIP() << "no small disk at S: (mounting it needs root on the build machine), error "
                   << GetLastError();
    }
    if (total.QuadPart > kLargestSmallDisk) {
      GTEST_SKIP() << "S: is no small disk: " << total.QuadPart << " bytes";
    }
    disk_bytes_ = total.QuadPart;
    TearDown();  // files left by an earlier run
  }
  void TearDown() override {
    DeleteFileW(target_.c_str());
    DeleteFileW(staging_.c_str());
  }

  const std::wstring target_ = std::wstring(kSmallDisk) + L"lirabel-warden.exe";
  const std::wstring staging_ = std::wstring(kSmallDisk) + L"lirabel-warden.neu";
  std::uint64_t disk_bytes_ = 0;
};

TEST_F(SmallDiskTest, FullDiskKeepsTheTargetAndTheStagingFileIsReusedLater) {
  const Bytes previous = bytes_of("the copy installed before");
  write_file(target_, previous);
  const Bytes too_large = sample(2 * disk_bytes_);

  EXPECT_EQ(replace(target_, too_large), write_failed(ERROR_DISK_FULL));
  EXPECT_EQ(read_file(target_), previous);
  const std::optional<Bytes> partial = read_file(staging_);
  ASSERT_TRUE(partial.has_value()) << "the partial staging file is gone";
  EXPECT_GT(partial->size(), 0u);
  EXPECT_LT(partial->size(), too_large.size());

  const Bytes small = sample(1000, 9);
  EXPECT_EQ(replace(target_, small), kSuccess);
  EXPECT_EQ(read_file(target_), small);
  EXPECT_FALSE(test::exists(staging_));
}

}  // namespace
}  // namespace lbw
