// Where the setup program installs, what it writes, and the one box it shows
// when a run cannot go on.
#include <gtest/gtest.h>

#include <iostream>

#include "installer/messages.h"
#include "setup_fixture.h"
#include "shell/system_error.h"

namespace lbw::test {
namespace {

class SetupRunTest : public SetupTest {
 protected:
  // The folder holds exactly the two installed files with the embedded bytes.
  void expect_installed_in(const std::wstring& folder) {
    EXPECT_EQ(folder_entries(folder),
              (std::vector<std::wstring>{L"WebView2Loader.dll", L"lirabel-warden.exe"}));
    EXPECT_EQ(read_file(folder + L"\\WebView2Loader.dll"), loader_bytes());
    EXPECT_EQ(read_file(folder + L"\\lirabel-warden.exe"), app_bytes());
  }
};

TEST_F(SetupRunTest, InstallsUnderLocalAppDataAndStartsTheApplication) {
  SetupOptions options = this->options();
  options.environment.unset(L"LBW_DATA").set(L"LOCALAPPDATA", temp_ / L"local");
  make_folder(temp_ / L"local");
  const SetupRun run = run_setup(options);
  expect_success(run);
  const std::wstring folder = temp_ / L"local\\Programs\\Lirabel Warden";
  expect_installed_in(folder);
  const std::optional<StandinReport> report = wait_for_standin_report(report_path());
  ASSERT_TRUE(report);
  EXPECT_EQ(report->module_path, folder + L"\\lirabel-warden.exe");
}

TEST_F(SetupRunTest, DataRootWinsOverLocalAppData) {
  SetupOptions options = this->options();
  options.environment.set(L"LOCALAPPDATA", temp_ / L"local");
  make_folder(temp_ / L"local");
  expect_success(run_setup(options));
  expect_installed_in(install_folder());
  EXPECT_TRUE(folder_entries(temp_ / L"local").empty());
}

TEST_F(SetupRunTest, EmptyVariablesGiveFoldersRelativeToTheCurrentFolder) {
  make_folder(temp_ / L"current");
  SetupOptions options = this->options();
  options.working_folder = temp_ / L"current";
  options.environment.set(L"LBW_DATA", L"");
  expect_success(run_setup(options));
  expect_installed_in(temp_ / L"current\\programm");

  options.environment.unset(L"LBW_DATA").set(L"LOCALAPPDATA", L"");
  expect_success(run_setup(options));
  expect_installed_in(temp_ / L"current\\Programs\\Lirabel Warden");
}

TEST_F(SetupRunTest, DataRootIsJoinedByItsOwnForm) {
  make_folder(temp_ / L"current");
  struct Case {
    std::wstring data_root;
    std::wstring command_line_path;  // the application path as the run built it
  };
  const std::wstring drive = temp_.path().substr(0, 2);  // the temporary folder's drive, C:
  for (const Case& c : {Case{temp_ / L"data\\", temp_ / L"data\\programm\\lirabel-warden.exe"},
                        Case{temp_ / L"data/", temp_ / L"data/programm\\lirabel-warden.exe"},
                        Case{drive, drive + L"programm\\lirabel-warden.exe"}}) {
    SetupOptions options = this->options();
    options.working_folder = temp_ / L"current";
    options.environment.set(L"LBW_DATA", c.data_root);
    expect_success(run_setup(options));
    const std::optional<StandinReport> report = wait_for_standin_report(report_path());
    ASSERT_TRUE(report);
    EXPECT_EQ(report->command_line, L"\"" + c.command_line_path + L"\"");
    DeleteFileW(report_path().c_str());
  }
  expect_installed_in(install_folder());
  // D: alone names the current folder of that drive: here the process's own.
  expect_installed_in(temp_ / L"current\\programm");
}

TEST_F(SetupRunTest, CreatesEveryMissingParent) {
  SetupOptions options = this->options();
  options.environment.set(L"LBW_DATA", temp_ / L"one\\two\\three");
  expect_success(run_setup(options));
  expect_installed_in(temp_ / L"one\\two\\three\\programm");
}

TEST_F(SetupRunTest, CarriesAnUnpairedSurrogateInTheDataRootThrough) {
  const std::wstring data_root = temp_ / L"data\xD800x";
  // NTFS takes any 16-bit units in a name, so on Windows the run must succeed.
  // Wine keeps names as UTF-8, which has no form for an unpaired surrogate, and
  // refuses such a folder: there the run must end with exactly the refusal the
  // system gives for those same units.
  const bool taken = CreateDirectoryW(data_root.c_str(), nullptr);
  const DWORD refusal = GetLastError();
  ASSERT_TRUE(taken || running_under_wine()) << "the name was refused, error " << refusal;
  RemoveDirectoryW(data_root.c_str());  // the run is to create it
  SetupOptions options = this->options();
  options.environment.set(L"LBW_DATA", data_root);
  const SetupRun run = run_setup(options);
  if (!taken) {
    expect_one_error_box(
        run, std::string(messages::kFolderNotCreated) + error_text_of(os_error(refusal)));
    return;
  }
  expect_success(run);
  expect_installed_in(data_root + L"\\programm");
  const std::optional<StandinReport> report = wait_for_standin_report(report_path());
  ASSERT_TRUE(report);
  EXPECT_EQ(report->working_folder, data_root + L"\\programm");
}

TEST_F(SetupRunTest, SecondRunLeavesEqualFilesUntouched) {
  expect_success(run_setup(options()));
  // Back-date both files, so that any rewrite would show.
  for (const std::wstring& path : {loader_path(), application_path()}) {
    HANDLE file =
        CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    FILETIME old_time{0x12345678, 0x01D00000};
    ASSERT_TRUE(SetFileTime(file, nullptr, nullptr, &old_time));
    CloseHandle(file);
  }
  const std::uint64_t loader_time = last_write_time(loader_path());
  const std::uint64_t application_time = last_write_time(application_path());
  expect_success(run_setup(options()));
  EXPECT_EQ(last_write_time(loader_path()), loader_time);
  EXPECT_EQ(last_write_time(application_path()), application_time);
  EXPECT_EQ(folder_entries(install_folder()).size(), 2u);  // no staging file appeared
}

TEST_F(SetupRunTest, ReadOnlyInstalledApplicationIsReplacedAndStarted) {
  // Windows renames onto a read-only file only when asked to ignore the
  // attribute, which needs the right to write the file's attributes: a
  // per-user install has it. Wine run by root does not enforce the attribute;
  // run by another user it may refuse the rename, and then the box must say so
  // and leave the old file whole.
  make_folder(data_root());
  make_folder(install_folder());
  write_file(application_path(), bytes_of("older application"));
  ASSERT_TRUE(SetFileAttributesW(application_path().c_str(), FILE_ATTRIBUTE_READONLY));
  {
    OpenFile attributes(application_path(), FILE_WRITE_ATTRIBUTES, 7);
    ASSERT_TRUE(attributes.valid()) << "no right to write the installed file's attributes";
  }
  const SetupRun run = run_setup(options());
  if (running_under_wine() && !run.dialogs.empty()) {
    expect_one_error_box(run, messages::kOlderVersionRunning);
    EXPECT_EQ(read_file(application_path()), bytes_of("older application"));
    return;
  }
  expect_success(run);
  expect_installed_in(install_folder());
  EXPECT_TRUE(wait_for_standin_report(report_path())) << "the application was not started";
}

TEST_F(SetupRunTest, TwoRunsIntoOneFolderHoweverSpelledBothInstallAndStartTheApplication) {
  // A double double-click, or a user's run while the updater's runs, each
  // spelling the folder its own way: on a fresh folder, then over an older
  // install, each time both runs succeed.
  make_folder(temp_ / L"linked");
  const OtherDrive other_drive(temp_.path());
  struct Spelling {
    std::wstring first, second;  // of the data root, before the trial's number
  };
  std::vector<Spelling> spellings = {
      {temp_ / L"same", temp_ / L"same"},
      // NTFS folds letter case beyond ASCII with its own table, and so does Wine.
      {temp_ / L"\u00C4rger", temp_ / L"\u00E4rger"},
      {temp_ / L"drive", other_drive.path() + L"drive"}};
  if (make_symbolic_link(temp_ / L"link", temp_ / L"linked")) {
    spellings.push_back({temp_ / L"linked\\", temp_ / L"link\\"});
  } else {
    EXPECT_FALSE(running_under_wine()) << "no symbolic link made";
    std::cout << "[ NOTE     ] no symbolic link (Windows allows them in developer mode)\n";
  }
  ASSERT_FALSE(other_drive.path().empty()) << "no other drive for the folder";
  for (const Spelling& spelling : spellings) {
    for (int trial = 0; trial < 6; ++trial) {
      const std::wstring number = std::to_wstring(trial);
      const std::wstring root = spelling.first + number;
      SCOPED_TRACE(narrow(root + L" and " + spelling.second + number));
      if (trial >= 3) {
        make_folder(root);
        make_folder(root + L"\\programm");
        write_file(root + L"\\programm\\WebView2Loader.dll", bytes_of("older loader"));
        write_file(root + L"\\programm\\lirabel-warden.exe", bytes_of("older application"));
      }
      std::vector<SetupOptions> both(2, options());
      for (int i = 0; i < 2; ++i) {
        both[i]
            .environment.set(L"LBW_DATA", i == 0 ? root : spelling.second + number)
            .set(L"LBW_STANDIN_REPORT", temp_ / L"report" + std::to_wstring(i));
      }
      for (const SetupRun& run : run_setups_together(both)) expect_success(run);
      for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(wait_for_standin_report(temp_ / L"report" + std::to_wstring(i)))
            << "run " << i << " started no application";
        DeleteFileW((temp_ / L"report" + std::to_wstring(i)).c_str());
      }
      expect_installed_in(root + L"\\programm");
    }
  }
}

TEST_F(SetupRunTest, NothingIsWrittenThroughALinkLeftInPlaceOfAStagingFile) {
  // A killed run or a stranger may leave a staging name that is a hard link to
  // another file, the installed application included, or a symbolic link to a
  // file elsewhere. The file behind it must stay as it was: the installed
  // application's old content is kept under a third name to show it.
  const std::wstring elsewhere = temp_ / L"elsewhere.bin";
  const std::wstring kept = temp_ / L"kept.exe";
  const auto hard_link = [](const std::wstring& link, const std::wstring& file) {
    return CreateHardLinkW(link.c_str(), file.c_str(), nullptr) != FALSE;
  };
  const struct {
    const char* what;
    std::wstring staging, file_behind;
    bool (*make_link)(const std::wstring& link, const std::wstring& file);
  } cases[] = {{"hard link to a file elsewhere", install_folder() + L"\\WebView2Loader.neu",
                elsewhere, hard_link},
               {"symbolic link to a file elsewhere", install_folder() + L"\\lirabel-warden.neu",
                elsewhere, make_symbolic_link},
               {"hard link to the installed application",
                install_folder() + L"\\lirabel-warden.neu", application_path(), hard_link}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    // The application the case before started may still be ending.
    ASSERT_TRUE(remove_tree_when_free(data_root())) << "the last case's files are still held";
    make_folder(data_root());
    make_folder(install_folder());
    write_file(application_path(), bytes_of("older application"));
    ASSERT_TRUE(hard_link(kept, application_path()));
    write_file(elsewhere, bytes_of("someone else's file"));
    if (!c.make_link(c.staging, c.file_behind)) {
      EXPECT_FALSE(running_under_wine()) << "no link made";
      continue;  // Windows makes symbolic links in developer mode only
    }
    expect_success(run_setup(options()));
    expect_installed_in(install_folder());
    EXPECT_EQ(read_file(elsewhere), bytes_of("someone else's file"));
    EXPECT_EQ(read_file(kept), bytes_of("older application")) << "written in place";
    EXPECT_TRUE(wait_for_standin_report(report_path())) << "the application was not started";
    DeleteFileW(report_path().c_str());
    DeleteFileW(kept.c_str());
  }
}

TEST_F(SetupRunTest, WithoutEitherVariableShowsOnlyTheBox) {
  make_folder(temp_ / L"current");
  SetupOptions options = this->options();
  options.environment.unset(L"LBW_DATA").unset(L"LOCALAPPDATA");
  options.working_folder = temp_ / L"current";
  expect_one_error_box(run_setup(options), messages::kLocalAppDataMissing);
  EXPECT_TRUE(folder_entries(temp_ / L"current").empty());
  EXPECT_FALSE(exists(report_path()));
}

TEST_F(SetupRunTest, FileInPlaceOfTheInstallFolderEndsTheRun) {
  make_folder(data_root());
  write_file(install_folder(), bytes_of("not a folder"));
  const std::string expected =
      std::string(messages::kFolderNotCreated) + error_text_of(os_error(ERROR_ALREADY_EXISTS));
  expect_one_error_box(run_setup(options()), expected);
  EXPECT_EQ(read_file(install_folder()), bytes_of("not a folder"));
}

TEST_F(SetupRunTest, InstallFolderLongerThanTheSystemTakesIsRefusedWithoutCreatingAnything) {
  make_folder(temp_ / L"current");
  SetupOptions options = this->options();
  options.working_folder = temp_ / L"current";
  // A data root the environment can still carry (32,767 units at most), which
  // "\\programm" makes longer than any path can be.
  const std::wstring data_root = temp_ / L"c";
  options.environment.set(L"LBW_DATA", data_root + std::wstring(32'760 - data_root.size(), L'c'));
  expect_one_error_box(run_setup(options), std::string(messages::kFolderNotCreated) +
                                               error_text_of(os_error(ERROR_FILENAME_EXCED_RANGE)));
  EXPECT_EQ(folder_entries(temp_.path()), std::vector<std::wstring>{L"current"});
  EXPECT_TRUE(folder_entries(temp_ / L"current").empty());
}

TEST_F(SetupRunTest, DamagedLoaderStreamWritesNothing) {
  SetupOptions options = this->options();
  options.program = test_file(LBW_DAMAGED_SETUP_EXE);
  expect_one_error_box(run_setup(options), messages::kPayloadDamaged);
  // The folder was created before unpacking, and stays empty.
  EXPECT_TRUE(is_folder(install_folder()));
  EXPECT_TRUE(folder_entries(install_folder()).empty());
  EXPECT_FALSE(exists(report_path()));
}

}  // namespace
}  // namespace lbw::test
