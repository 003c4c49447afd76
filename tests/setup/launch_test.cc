// How the installed application is started: its command line, working folder,
// environment and standard handles, and that the setup program does not wait.
#include "installer/launch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "installer/command_line.h"
#include "installer/messages.h"
#include "setup_fixture.h"
#include "shell/system_error.h"

namespace lbw::test {
namespace {

class SetupLaunchTest : public SetupTest {
 protected:
  // Runs the setup program with this raw text after its path; the report of
  // the application it started.
  StandinReport launch_with(const std::wstring& arguments) {
    SetupOptions options = this->options();
    options.arguments = arguments;
    expect_success(run_setup(options));
    std::optional<StandinReport> report = wait_for_standin_report(report_path());
    EXPECT_TRUE(report) << "the application was not started";
    DeleteFileW(report_path().c_str());
    return report.value_or(StandinReport{});
  }

  std::wstring quoted_application() const { return L"\"" + application_path() + L"\""; }
};

TEST_F(SetupLaunchTest, WithoutArgumentsTheCommandLineIsTheQuotedPathAlone) {
  const StandinReport report = launch_with(L"");
  EXPECT_EQ(report.command_line, quoted_application());
  EXPECT_TRUE(report.arguments.empty());
  EXPECT_EQ(report.module_path, application_path());
  EXPECT_EQ(report.working_folder, install_folder());
}

TEST_F(SetupLaunchTest, HandsOnEveryArgumentButALeadingUpdateSwitch) {
  using Arguments = std::vector<std::wstring>;
  struct Case {
    std::wstring given;
    Arguments received;
  };
  for (const Case& c :
       {Case{L"--update", {}}, Case{L"--update a", {L"a"}}, Case{L"\"--update\" a", {L"a"}},
        Case{L"--UPDATE a", {L"--UPDATE", L"a"}}, Case{L"--update=1", {L"--update=1"}},
        Case{L"a --update", {L"a", L"--update"}}}) {
    EXPECT_EQ(launch_with(c.given).arguments, c.received) << narrow(c.given);
  }
}

TEST_F(SetupLaunchTest, ArgumentsArriveExactlyAsGiven) {
  const StandinReport report = launch_with(L"\"x y\" \"\" a\\\"b \"C:\\my dir\\\\\" \xD800");
  EXPECT_EQ(report.arguments,
            (std::vector<std::wstring>{L"x y", L"", L"a\"b", L"C:\\my dir\\", L"\xD800"}));
  EXPECT_EQ(report.command_line,
            quoted_application() + L" \"x y\" \"\" a\\\"b \"C:\\my dir\\\\\" \xD800");
}

TEST_F(SetupLaunchTest, GeneratedArgumentListsArriveExactly) {
  static const std::wstring_view pieces[] = {
      L"a", L" ", L"\t", L"\"", L"\\", L"\\\\", L"ä", L"\xD83D\xDE00", L"\xDC00", L"--update"};
  std::mt19937 random(8);
  for (int round = 0; round < 6; ++round) {
    std::vector<std::wstring> arguments(1 + random() % 5);
    for (std::wstring& argument : arguments) {
      for (unsigned n = random() % 7; n > 0; --n) argument += pieces[random() % std::size(pieces)];
    }
    std::wstring command_line;
    for (const std::wstring& argument : arguments) {
      if (!command_line.empty()) command_line += L' ';
      append_argument(command_line, argument);
    }
    // A first argument keeps a generated "--update" from being the switch.
    std::vector<std::wstring> received = launch_with(L"x " + command_line).arguments;
    ASSERT_FALSE(received.empty());
    received.erase(received.begin());
    EXPECT_EQ(received, arguments) << "round " << round;
  }
}

TEST_F(SetupLaunchTest, RelativeInstallFolderStaysRelativeInCommandLineAndIsResolvedForTheStart) {
  make_folder(temp_ / L"current");
  SetupOptions options = this->options();
  options.environment.set(L"LBW_DATA", L"relative");
  options.working_folder = temp_ / L"current";
  expect_success(run_setup(options));
  const std::optional<StandinReport> report = wait_for_standin_report(report_path());
  ASSERT_TRUE(report);
  EXPECT_EQ(report->command_line, L"\"relative\\programm\\lirabel-warden.exe\"");
  EXPECT_EQ(report->module_path, temp_ / L"current\\relative\\programm\\lirabel-warden.exe");
  EXPECT_EQ(report->working_folder, temp_ / L"current\\relative\\programm");
}

TEST_F(SetupLaunchTest, CommandLineUpToTheSystemsLimitArrivesWholeAndLongerIsRefused) {
  // The application's path is longer than the setup program's, so that one
  // argument makes the application's command line too long while the setup
  // program's own still fits: 32,767 units with the terminator.
  const std::wstring data_root = temp_ / std::wstring(150, L'd');
  const std::wstring application = data_root + L"\\programm\\lirabel-warden.exe";
  ASSERT_GT(application.size(), setup_program().size());
  const std::size_t fitting = 32'766 - (application.size() + 3);  // two quotes, a blank
  SetupOptions options = this->options();
  options.environment.set(L"LBW_DATA", data_root);
  options.arguments = std::wstring(fitting, L'a');
  expect_success(run_setup(options));
  const std::optional<StandinReport> report = wait_for_standin_report(report_path());
  ASSERT_TRUE(report);
  EXPECT_EQ(report->arguments, std::vector<std::wstring>{options.arguments});

  options.arguments += L'a';
  expect_one_error_box(run_setup(options), std::string(messages::kNotStarted) +
                                               error_text_of(os_error(ERROR_FILENAME_EXCED_RANGE)));
}

TEST_F(SetupLaunchTest, InstallFolderOfThreeHundredUnitsIsTheWorkingFolderInItsShortForm) {
  // Windows starts no program in a current folder that does not fit in
  // MAX_PATH, whatever the prefix, so the application is started in the
  // folder's short form there; a volume without short names (ReFS, exFAT, NTFS
  // with 8.3 names off) gives none that fits, and the box says so. Wine can't
  // start a program whose path is this long at all, and says so in the box.
  std::wstring data_root = temp_.path();
  while (data_root.size() < 150) data_root += L"\\" + std::wstring(100, L'd');
  data_root += L"\\" + std::wstring(300 - data_root.size() - 10, L'e');
  const std::wstring folder = L"\\\\?\\" + data_root + L"\\programm";
  SetupOptions options = this->options();
  options.environment.set(L"LBW_DATA", data_root);
  const SetupRun run = run_setup(options);
  const std::optional<StandinReport> report =
      run.dialogs.empty() ? wait_for_standin_report(report_path()) : std::nullopt;
  std::wstring short_form(600, L'\0');
  short_form.resize(GetShortPathNameW(folder.c_str(), short_form.data(), 600));
  remove_tree(L"\\\\?\\" + temp_.path() + L"\\" + std::wstring(100, L'd'));
  const bool short_form_fits =
      short_form.size() > 4 && fits_as_current_folder(short_form.substr(4));
  // Set where short names were turned on for the volume and seen to be made.
  wchar_t expected[2] = {};
  if (GetEnvironmentVariableW(L"LBW_EXPECT_SHORT_NAMES", expected, 2) == 1 && expected[0] == L'1') {
    ASSERT_TRUE(short_form_fits) << "LBW_EXPECT_SHORT_NAMES=1, but no short form that fits: "
                                 << narrow(short_form);
  }
  if ((running_under_wine() && !run.dialogs.empty()) || !short_form_fits) {
    ASSERT_EQ(run.dialogs.size(), 1u) << "started without a short form that fits";
    EXPECT_TRUE(narrow(run.dialogs.front().text).starts_with(messages::kNotStarted));
    return;
  }
  expect_success(run);
  ASSERT_TRUE(report) << "the application was not started";
  EXPECT_EQ(report->working_folder, short_form.substr(4)) << "no short form for the folder?";
}

TEST_F(SetupLaunchTest, ApplicationInheritsCopiesOfTheStandardHandlesAndNothingElse) {
  // The setup program inherits the writing end of a pipe from its starter; the
  // application, still running, must not hold it, or the pipe never ends.
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE reader = nullptr;
  HANDLE writer = nullptr;
  ASSERT_TRUE(CreatePipe(&reader, &writer, &inheritable, 0));
  SetHandleInformation(reader, HANDLE_FLAG_INHERIT, 0);
  SetupOptions options = this->options();
  options.handles.output_file = temp_ / L"output.txt";
  options.environment.set(L"LBW_STANDIN_SLEEP_MS", L"2000");
  expect_success(run_setup(options));
  CloseHandle(writer);
  const std::optional<StandinReport> report = wait_for_standin_report(report_path());
  const bool pipe_alive = PeekNamedPipe(reader, nullptr, 0, nullptr, nullptr, nullptr);
  const DWORD pipe_error = GetLastError();
  CloseHandle(reader);
  EXPECT_FALSE(pipe_alive) << "the application holds the pipe it was not given";
  EXPECT_EQ(pipe_error, static_cast<DWORD>(ERROR_BROKEN_PIPE));
  ASSERT_TRUE(report);
  EXPECT_EQ(report->startup_flags & STARTF_USESTDHANDLES, STARTF_USESTDHANDLES);
  EXPECT_EQ(report->input, L"none");
  EXPECT_EQ(report->output, L"disk");
  EXPECT_EQ(report->error, L"none");
  const std::optional<Bytes> output = read_file(temp_ / L"output.txt");
  ASSERT_TRUE(output);
  EXPECT_NE(std::string(output->begin(), output->end()).find("stand-in application: started"),
            std::string::npos);
}

TEST_F(SetupLaunchTest, WithoutStandardHandlesNoneAreHandedOn) {
  const StandinReport report = launch_with(L"");
  EXPECT_EQ(report.startup_flags & STARTF_USESTDHANDLES, 0u);
  EXPECT_EQ(report.output, L"none");
  EXPECT_EQ(report.error, L"none");
}

TEST_F(SetupLaunchTest, EnvironmentIsHandedOnUnchanged) {
  SetupOptions options = this->options();
  options.environment.set(L"LBW_TEST_VALUE", L" odd \xD800 value=1 ");
  options.environment.set(L"LOCALAPPDATA", temp_ / L"local");
  expect_success(run_setup(options));
  const std::optional<StandinReport> report = wait_for_standin_report(report_path());
  ASSERT_TRUE(report);
  for (const std::wstring& entry : options.environment.entries()) {
    EXPECT_NE(std::find(report->environment.begin(), report->environment.end(), entry),
              report->environment.end())
        << narrow(entry);
  }
}

TEST_F(SetupLaunchTest, SetupEndsWithoutWaitingForTheApplication) {
  SetupOptions options = this->options();
  options.environment.set(L"LBW_STANDIN_SLEEP_MS", L"5000");
  const SetupRun run = run_setup(options);
  expect_success(run);
  EXPECT_LT(run.seconds, 3.0);
  ASSERT_TRUE(wait_for_standin_report(report_path()));
  // The application still runs: its program file can't be replaced.
  EXPECT_FALSE(
      MoveFileExW(loader_path().c_str(), application_path().c_str(), MOVEFILE_REPLACE_EXISTING));
}

TEST_F(SetupLaunchTest, ApplicationThatIsNoProgramIsReportedAfterInstalling) {
  SetupOptions options = this->options();
  options.program = test_file(LBW_NOT_A_PROGRAM_SETUP_EXE);
  const SetupRun run = run_setup(options);
  EXPECT_EQ(read_file(loader_path()), loader_bytes());
  EXPECT_EQ(read_file(application_path()),
            read_file(test_file(LBW_SOURCE_DIR "/tests/data/not-a-program.txt")));
  // The code is whatever the system gives for starting this file (Windows: 193).
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  std::wstring command_line = quoted_application();
  ASSERT_FALSE(CreateProcessW(application_path().c_str(), command_line.data(), nullptr, nullptr,
                              FALSE, 0, nullptr, nullptr, &startup, &process));
  const DWORD refusal = GetLastError();
  expect_one_error_box(run, std::string(messages::kNotStarted) + error_text_of(os_error(refusal)));
}

}  // namespace
}  // namespace lbw::test
