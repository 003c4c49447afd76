// The process shell around the run: exit status, reports of internal faults,
// and silence when nothing goes wrong.
#include <gtest/gtest.h>

#include "support/files.h"
#include "support/platform.h"
#include "support/setup_rig.h"
#include "support/temp_folder.h"

namespace lbw::test {
namespace {

constexpr DWORD kFastFailStatus = 0xC0000409;

class ShellTest : public TempFolderTest {
 protected:
  SetupRun run_probe(const std::wstring& request) {
    SetupOptions options;
    options.program = shell_probe_program();
    options.arguments = request;
    options.handles.output_file = temp_ / L"output.txt";
    options.handles.error_file = temp_ / L"error.txt";
    return run_setup(options);
  }
  std::string error_output() {
    const std::optional<Bytes> bytes = read_file(temp_ / L"error.txt");
    return bytes ? std::string(bytes->begin(), bytes->end()) : std::string("<no file>");
  }
  std::string standard_output() {
    const std::optional<Bytes> bytes = read_file(temp_ / L"output.txt");
    return bytes ? std::string(bytes->begin(), bytes->end()) : std::string("<no file>");
  }
};

TEST_F(ShellTest, SuccessfulInstallEndsWithZeroAndWritesNothingToStandardError) {
  SetupOptions options;
  options.environment.set(L"LBW_DATA", temp_ / L"data");
  options.environment.set(L"LBW_STANDIN_REPORT", temp_ / L"report.bin");
  options.handles.error_file = temp_ / L"error.txt";
  const SetupRun run = run_setup(options);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_TRUE(run.dialogs.empty());
  EXPECT_EQ(error_output(), "");
  EXPECT_TRUE(exists(temp_ / L"data\\programm\\lirabel-warden.exe"));
}

TEST_F(ShellTest, NormalReturnOfTheRunEndsWithZero) {
  const SetupRun run = run_probe(L"nothing");
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_EQ(error_output(), "");
}

TEST_F(ShellTest, InternalFaultEndsWith101AndAReportButNoDialog) {
  const SetupRun run = run_probe(L"internal-fault");
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, 101u);
  EXPECT_TRUE(run.dialogs.empty());
  // The place is the line of the probe that misused a result, not the check's.
  const std::string report = error_output();
  EXPECT_EQ(report.rfind("Lirabel Warden Setup stopped after an internal error in thread 'main'\n"
                         "at ./tests/shell_probe.cc:",
                         0),
            0u)
      << report;
  EXPECT_TRUE(report.ends_with(": value taken from a failed result\n")) << report;
}

TEST_F(ShellTest, RefusedAllocationReportsItsSizeAndFailsFast) {
  const SetupRun run = run_probe(L"out-of-memory");
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, kFastFailStatus);
  EXPECT_TRUE(run.dialogs.empty());
  EXPECT_EQ(error_output(),
            "memory allocation of " + std::to_string(SIZE_MAX / 4) + " bytes failed\n");
}

TEST_F(ShellTest, RefusedFileBufferReportsItsSizeAndFailsFast) {
  const SetupRun run = run_probe(L"huge-buffer");
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, kFastFailStatus);
  EXPECT_EQ(error_output(), "memory allocation of 1152921504606846976 bytes failed\n");
}

TEST_F(ShellTest, FaultWhileEndingAfterAFaultFailsFast) {
  const SetupRun run = run_probe(L"fault-in-fault");
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, kFastFailStatus);
  EXPECT_NE(error_output().find("a first fault"), std::string::npos);
}

TEST_F(ShellTest, StackOverflowIsReportedWithoutDialog) {
  const SetupRun run = run_probe(L"stack-overflow");
  ASSERT_TRUE(run.finished);
  EXPECT_TRUE(run.dialogs.empty());
  EXPECT_EQ(
      error_output(),
      "Lirabel Warden Setup stopped after an internal error: thread 'main' ran out of stack\n")
      << error_output();
  // Ended by the program itself, never by error reporting or a debugger.
  EXPECT_EQ(run.exit_code, 0xC00000FDu) << std::hex << run.exit_code;
}

TEST_F(ShellTest, MainThreadIsNamedMain) {
  const SetupRun run = run_probe(L"thread-name");
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(standard_output(), "main");
}

}  // namespace
}  // namespace lbw::test
