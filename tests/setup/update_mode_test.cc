// Update mode: the application's updater starts the setup program with
// --update while the old application is still ending.
#include <gtest/gtest.h>

#include "installer/messages.h"
#include "setup_fixture.h"
#include "shell/system_error.h"

namespace lbw::test {
namespace {

class SetupUpdateTest : public SetupTest {
 protected:
  // An older application in the install folder, running for `milliseconds`:
  // the stand-in with one byte more, so that its content differs from the new one.
  Process start_old_application(int milliseconds) {
    make_folder(data_root());
    make_folder(install_folder());
    write_file(loader_path(), bytes_of("older loader"));
    write_file(application_path(), with_extra_byte(app_bytes()));
    StartOptions start;
    start.program = application_path();
    start.environment = Environment::minimal()
                            .set(L"LBW_STANDIN_SLEEP_MS", std::to_wstring(milliseconds))
                            .set(L"LBW_STANDIN_REPORT", temp_ / L"old-report.bin");
    Process old = start_process(start);
    EXPECT_TRUE(wait_for_standin_report(temp_ / L"old-report.bin")) << "the old copy did not start";
    return old;
  }

  static Bytes with_extra_byte(Bytes bytes) {
    bytes.push_back(0);
    return bytes;
  }
};

TEST_F(SetupUpdateTest, WithoutUpdateModeARunningOldCopyIsReportedAtOnce) {
  Process old = start_old_application(20'000);
  const SetupRun run = run_setup(options());
  expect_one_error_box(run, messages::kOlderVersionRunning);
  // One attempt: update mode's attempts would take half a minute. (The bound
  // leaves room for a loaded machine.)
  EXPECT_LT(run.seconds, 10.0);
  EXPECT_EQ(read_file(application_path()), with_extra_byte(app_bytes()));
  EXPECT_FALSE(exists(install_folder() + L"\\lirabel-warden.neu"));
  EXPECT_FALSE(exists(report_path()));  // nothing was started
}

TEST_F(SetupUpdateTest, WithoutUpdateModeABlockedLoaderStopsTheRunBeforeTheApplication) {
  make_folder(data_root());
  make_folder(install_folder());
  write_file(loader_path(), bytes_of("older loader"));
  const OpenFile holder(loader_path(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
  ASSERT_TRUE(holder.valid());
  const SetupRun run = run_setup(options());
  expect_one_error_box(run, messages::kOlderVersionRunning);
  EXPECT_LT(run.seconds, 10.0);
  EXPECT_EQ(read_file(loader_path()), bytes_of("older loader"));
  EXPECT_FALSE(exists(application_path()));
  EXPECT_FALSE(exists(report_path()));
}

TEST_F(SetupUpdateTest, UpdateModeWaitsForTheOldCopyToEndAndThenInstalls) {
  Process old = start_old_application(3'000);
  SetupOptions options = this->options();
  options.arguments = L"--update a \"b c\"";
  const SetupRun run = run_setup(options);
  expect_success(run);
  EXPECT_GT(run.seconds, 1.5);  // it had to wait for the old copy
  EXPECT_LT(run.seconds, 15.0);
  EXPECT_EQ(read_file(loader_path()), loader_bytes());
  EXPECT_EQ(read_file(application_path()), app_bytes());
  const std::optional<StandinReport> report = wait_for_standin_report(report_path());
  ASSERT_TRUE(report);
  EXPECT_EQ(report->arguments, (std::vector<std::wstring>{L"a", L"b c"}));
}

// The real schedule: 60 attempts with 59 pauses of at least 500 ms.
TEST_F(SetupUpdateTest, UpdateModeStartsTheOldCopyWhenItNeverEnds) {
  Process old = start_old_application(60'000);
  SetupOptions options = this->options();
  options.arguments = L"--update x";
  const SetupRun run = run_setup(options);
  expect_success(run);
  EXPECT_GE(run.seconds, 29.5);
  EXPECT_LT(run.seconds, 45.0);
  EXPECT_EQ(read_file(loader_path()), loader_bytes());
  EXPECT_EQ(read_file(application_path()), with_extra_byte(app_bytes()));
  EXPECT_FALSE(exists(install_folder() + L"\\lirabel-warden.neu"));
  // The copy that is there was started a second time, with the handed-on argument.
  const std::optional<StandinReport> report = wait_for_standin_report(report_path());
  ASSERT_TRUE(report);
  EXPECT_EQ(report->arguments, std::vector<std::wstring>{L"x"});
}

TEST_F(SetupUpdateTest, UpdateModeShowsTheLastErrorWhenNoApplicationIsThere) {
  make_folder(data_root());
  make_folder(install_folder());
  // A folder where the application's staging file would go: every write fails.
  make_folder(install_folder() + L"\\lirabel-warden.neu");
  HANDLE refused = CreateFileW((install_folder() + L"\\lirabel-warden.neu").c_str(), GENERIC_WRITE,
                               7, nullptr, OPEN_ALWAYS, 0, nullptr);
  ASSERT_EQ(refused, INVALID_HANDLE_VALUE);
  const DWORD code = GetLastError();
  SetupOptions options = this->options();
  options.arguments = L"--update";
  const SetupRun run = run_setup(options);
  expect_one_error_box(run, std::string(messages::kNotUnpacked) + error_text_of(os_error(code)));
  EXPECT_GE(run.seconds, 29.5);
  EXPECT_EQ(read_file(loader_path()), loader_bytes());
  EXPECT_FALSE(exists(application_path()));
  EXPECT_FALSE(exists(report_path()));
}

}  // namespace
}  // namespace lbw::test
