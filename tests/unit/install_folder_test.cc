// Settling the install folder from the environment and creating it, against
// real folders. Variables and the current folder are set in this process and
// put back after each test.
#include "installer/install_folder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "installer/messages.h"
#include "shell/system_error.h"
#include "shell/win32.h"
#include "support/files.h"
#include "support/temp_folder.h"

namespace lbw {
namespace {

using test::exists;
using test::folder_entries;
using test::is_folder;
using test::make_folder;

std::optional<std::wstring> variable(const wchar_t* name) {
  std::wstring value(32767, L'\0');
  SetLastError(ERROR_SUCCESS);
  const DWORD length = GetEnvironmentVariableW(name, value.data(), 32767);
  if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
  value.resize(length);
  return value;
}

void set_variable(const wchar_t* name, const std::optional<std::wstring>& value) {
  SetEnvironmentVariableW(name, value ? value->c_str() : nullptr);
}

std::wstring current_folder() {
  std::wstring current(32767, L'\0');
  current.resize(GetCurrentDirectoryW(32767, current.data()));
  return current;
}

std::string folder_error_text(DWORD code) {
  return std::string(messages::kFolderNotCreated) + error_text_of(os_error(code));
}

// Starts each test with neither variable set and puts both, and the current
// folder, back afterwards.
class EnvironmentTest : public test::TempFolderTest {
 protected:
  void SetUp() override {
    saved_data_ = variable(L"LBW_DATA");
    saved_local_ = variable(L"LOCALAPPDATA");
    saved_current_ = current_folder();
    set_variable(L"LBW_DATA", std::nullopt);
    set_variable(L"LOCALAPPDATA", std::nullopt);
  }

  void TearDown() override {
    set_variable(L"LBW_DATA", saved_data_);
    set_variable(L"LOCALAPPDATA", saved_local_);
    SetCurrentDirectoryW(saved_current_.c_str());
  }

  void enter_temp_folder() { ASSERT_TRUE(SetCurrentDirectoryW(temp_.path().c_str())); }

  static std::wstring settled() {
    Result<std::wstring> folder = settle_install_folder();
    if (!folder.ok()) {
      ADD_FAILURE() << "no install folder: " << folder.error().text;
      return {};
    }
    return *folder;
  }

  // Creates the folder and expects success.
  static void create(std::wstring_view folder) {
    Status status = create_install_folder(folder);
    EXPECT_TRUE(status.ok()) << status.error().text;
  }

  // Creates the folder and expects the error text.
  static std::string creation_error(std::wstring_view folder) {
    Status status = create_install_folder(folder);
    if (status.ok()) {
      ADD_FAILURE() << "the folder was created";
      return {};
    }
    return status.error().text;
  }

  std::optional<std::wstring> saved_data_;
  std::optional<std::wstring> saved_local_;
  std::wstring saved_current_;
};

struct SettleCase {
  std::optional<std::wstring> data;
  std::optional<std::wstring> local;
  std::wstring install_folder;
};

class SettleInstallFolderTest : public EnvironmentTest,
                                public ::testing::WithParamInterface<SettleCase> {};

TEST_P(SettleInstallFolderTest, BuildsTheFolderFromTheEnvironment) {
  set_variable(L"LBW_DATA", GetParam().data);
  set_variable(L"LOCALAPPDATA", GetParam().local);
  EXPECT_EQ(settled(), GetParam().install_folder);
}

INSTANTIATE_TEST_SUITE_P(
    Values, SettleInstallFolderTest,
    ::testing::Values(
        // LBW_DATA decides whenever it is there; LOCALAPPDATA is not looked at.
        SettleCase{L"D:\\data", std::nullopt, L"D:\\data\\programm"},
        SettleCase{L"D:\\data", L"C:\\local", L"D:\\data\\programm"},
        SettleCase{L"", std::nullopt, L"programm"},
        SettleCase{L"", L"C:\\local", L"programm"},
        SettleCase{L"D:\\data\\", std::nullopt, L"D:\\data\\programm"},
        SettleCase{L"D:/data/", std::nullopt, L"D:/data/programm"},
        SettleCase{L"D:", std::nullopt, L"D:programm"},
        SettleCase{L"data", std::nullopt, L"data\\programm"},
        // The value is used as it is: not trimmed, not expanded, not checked.
        SettleCase{L" %TEMP% ", std::nullopt, L" %TEMP% \\programm"},
        SettleCase{L"C:\\\xD800x", std::nullopt, L"C:\\\xD800x\\programm"},
        SettleCase{L"\xDC00", std::nullopt, L"\xDC00\\programm"},
        // Values about the size of a first lookup buffer, and far beyond it.
        SettleCase{std::wstring(255, L'a'), std::nullopt, std::wstring(255, L'a') + L"\\programm"},
        SettleCase{std::wstring(256, L'a'), std::nullopt, std::wstring(256, L'a') + L"\\programm"},
        SettleCase{std::wstring(257, L'a'), std::nullopt, std::wstring(257, L'a') + L"\\programm"},
        SettleCase{std::wstring(5000, L'a'), std::nullopt,
                   std::wstring(5000, L'a') + L"\\programm"},
        // Otherwise LOCALAPPDATA, joined with two folders.
        SettleCase{std::nullopt, L"C:\\Users\\u\\AppData\\Local",
                   L"C:\\Users\\u\\AppData\\Local\\Programs\\Lirabel Warden"},
        SettleCase{std::nullopt, L"C:\\local\\", L"C:\\local\\Programs\\Lirabel Warden"},
        SettleCase{std::nullopt, L"", L"Programs\\Lirabel Warden"},
        SettleCase{std::nullopt, L"C:", L"C:Programs\\Lirabel Warden"},
        SettleCase{std::nullopt, std::wstring(300, L'l'),
                   std::wstring(300, L'l') + L"\\Programs\\Lirabel Warden"}));

using InstallFolderTest = EnvironmentTest;

TEST_F(InstallFolderTest, NeitherVariableIsAnErrorWithItsOwnText) {
  Result<std::wstring> folder = settle_install_folder();
  ASSERT_FALSE(folder.ok()) << "settled on " << *folder;
  EXPECT_EQ(folder.error().text, "Der Ordner LOCALAPPDATA wurde nicht gefunden.");
}

TEST_F(InstallFolderTest, EmptyDataRootCreatesProgrammInTheCurrentFolder) {
  enter_temp_folder();
  SetEnvironmentVariableW(L"LBW_DATA", L"");
  const std::wstring folder = settled();
  ASSERT_EQ(folder, L"programm");
  create(folder);
  EXPECT_TRUE(is_folder(temp_ / L"programm"));
}

TEST_F(InstallFolderTest, EmptyLocalAppDataCreatesBothFoldersInTheCurrentFolder) {
  enter_temp_folder();
  SetEnvironmentVariableW(L"LOCALAPPDATA", L"");
  const std::wstring folder = settled();
  ASSERT_EQ(folder, L"Programs\\Lirabel Warden");
  create(folder);
  EXPECT_TRUE(is_folder(temp_ / L"Programs\\Lirabel Warden"));
}

TEST_F(InstallFolderTest, BareDriveCreatesProgrammInThatDrivesCurrentFolder) {
  ASSERT_EQ(temp_.path()[1], L':') << "the temporary folder is not on a drive";
  enter_temp_folder();
  const std::wstring drive = temp_.path().substr(0, 2);
  set_variable(L"LBW_DATA", drive);
  const std::wstring folder = settled();
  ASSERT_EQ(folder, drive + L"programm");
  create(folder);
  EXPECT_TRUE(is_folder(temp_ / L"programm"));
}

TEST_F(InstallFolderTest, RelativeDataRootIsCreatedWithItsParentsInTheCurrentFolder) {
  enter_temp_folder();
  set_variable(L"LBW_DATA", L"a\\b");
  create(settled());
  EXPECT_TRUE(is_folder(temp_ / L"a\\b\\programm"));
}

TEST_F(InstallFolderTest, DataRootWithAFinalSeparatorIsCreated) {
  set_variable(L"LBW_DATA", temp_ / L"back\\");
  create(settled());
  EXPECT_TRUE(is_folder(temp_ / L"back\\programm"));

  set_variable(L"LBW_DATA", temp_.path() + L"/forward/");
  const std::wstring folder = settled();
  EXPECT_EQ(folder, temp_.path() + L"/forward/programm");
  create(folder);
  EXPECT_TRUE(is_folder(temp_ / L"forward\\programm"));
}

TEST_F(InstallFolderTest, UnpairedSurrogatesReachTheFolderNamesUnchanged) {
  const std::wstring high = L"high\xD800" L"x";
  const std::wstring low = L"\xDC00" L"low";
  // Wine keeps names as UTF-8 on the host and refuses a name with an unpaired
  // surrogate (error 2); Windows stores it. Where the system refuses, the
  // product reports the system's own refusal, and the missing parent that it
  // created on the way stays.
  if (!CreateDirectoryW((temp_ / L"probe\xD800").c_str(), nullptr)) {
    const DWORD refusal = GetLastError();
    set_variable(L"LBW_DATA", temp_ / L"kept\\" + high);
    EXPECT_EQ(creation_error(settled()), folder_error_text(refusal));
    EXPECT_EQ(folder_entries(temp_.path()), std::vector<std::wstring>{L"kept"});
    EXPECT_TRUE(folder_entries(temp_ / L"kept").empty());
    GTEST_SKIP() << "this system refuses names with unpaired surrogates, error " << refusal;
  }
  RemoveDirectoryW((temp_ / L"probe\xD800").c_str());
  set_variable(L"LBW_DATA", temp_ / high);
  create(settled());
  set_variable(L"LBW_DATA", temp_ / low);
  create(settled());
  EXPECT_EQ(folder_entries(temp_.path()), (std::vector<std::wstring>{high, low}));
  EXPECT_EQ(folder_entries(temp_ / high), std::vector<std::wstring>{L"programm"});
  EXPECT_EQ(folder_entries(temp_ / low), std::vector<std::wstring>{L"programm"});
}

TEST_F(InstallFolderTest, LocalAppDataGetsProgramsAndLirabelWardenCreatedUnderIt) {
  set_variable(L"LOCALAPPDATA", temp_ / L"Local");
  const std::wstring folder = settled();
  EXPECT_EQ(folder, temp_ / L"Local\\Programs\\Lirabel Warden");
  create(folder);
  EXPECT_TRUE(is_folder(temp_ / L"Local\\Programs\\Lirabel Warden"));
}

TEST_F(InstallFolderTest, CreatesThreeMissingLevelsUnderAnExistingFolder) {
  const std::wstring folder = temp_ / L"one\\two\\three";
  create(folder);
  EXPECT_TRUE(is_folder(folder));
  EXPECT_EQ(folder_entries(temp_.path()), std::vector<std::wstring>{L"one"});
  EXPECT_EQ(folder_entries(temp_ / L"one"), std::vector<std::wstring>{L"two"});
  EXPECT_EQ(folder_entries(temp_ / L"one\\two"), std::vector<std::wstring>{L"three"});
  EXPECT_TRUE(folder_entries(folder).empty());
}

TEST_F(InstallFolderTest, CreatesMissingLevelsGivenWithForwardSlashes) {
  create(temp_.path() + L"/one/two//three");
  EXPECT_TRUE(is_folder(temp_ / L"one\\two\\three"));
}

TEST_F(InstallFolderTest, LeavesAnExistingFolderAndItsContentAlone) {
  const std::wstring folder = temp_ / L"programm";
  make_folder(folder);
  make_folder(folder + L"\\inner");
  test::write_file(folder + L"\\lirabel-warden.exe", test::bytes_of("old"));
  const std::uint64_t written = test::last_write_time(folder + L"\\lirabel-warden.exe");
  create(folder);
  create(folder);
  EXPECT_EQ(folder_entries(folder), (std::vector<std::wstring>{L"inner", L"lirabel-warden.exe"}));
  EXPECT_EQ(test::read_file(folder + L"\\lirabel-warden.exe"), test::bytes_of("old"));
  EXPECT_EQ(test::last_write_time(folder + L"\\lirabel-warden.exe"), written);
}

TEST_F(InstallFolderTest, FileInPlaceOfTheFolderIsTheAlreadyExistsError) {
  const std::wstring folder = temp_ / L"programm";
  test::write_file(folder, test::bytes_of("not a folder"));
  const std::string error = creation_error(folder);
  EXPECT_EQ(error, folder_error_text(ERROR_ALREADY_EXISTS));
  EXPECT_TRUE(error.ends_with(" (os error 183)")) << error;
  EXPECT_EQ(test::read_file(folder), test::bytes_of("not a folder"));
}

TEST_F(InstallFolderTest, FileInPlaceOfAParentIsTheAlreadyExistsError) {
  // Creating below the file fails as "path not found", so the walk goes up to
  // the file, whose creation meets the already-exists error.
  const std::wstring parent = temp_ / L"data";
  test::write_file(parent, test::bytes_of("not a folder"));
  EXPECT_EQ(creation_error(parent + L"\\inner\\programm"), folder_error_text(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(test::read_file(parent), test::bytes_of("not a folder"));
  EXPECT_EQ(folder_entries(temp_.path()), std::vector<std::wstring>{L"data"});
}

// A drive letter that names no drive in this process, or nothing.
std::optional<wchar_t> unused_drive() {
  const DWORD drives = GetLogicalDrives();
  for (wchar_t letter = L'Y'; letter >= L'D'; --letter) {
    if ((drives & (1u << (letter - L'A'))) == 0) return letter;
  }
  return std::nullopt;
}

TEST_F(InstallFolderTest, MissingDriveIsTheSystemsNotFoundError) {
  const std::optional<wchar_t> letter = unused_drive();
  if (!letter) GTEST_SKIP() << "every drive letter is in use";
  const std::wstring root = std::wstring(1, *letter) + L":\\";
  const std::string error = creation_error(root + L"data\\programm");
  // The walk stops at the drive's root; the outermost missing folder then
  // fails for good. Windows gives 3 (path not found) there; Wine gives 2.
  const std::size_t code_start = error.rfind("(os error ");
  ASSERT_NE(code_start, std::string::npos) << error;
  const DWORD code = std::stoul(error.substr(code_start + 10));
  EXPECT_TRUE(code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ||
              code == ERROR_INVALID_DRIVE)
      << error;
  EXPECT_EQ(error, folder_error_text(code));
  EXPECT_FALSE(exists(root + L"data"));
}

TEST_F(InstallFolderTest, MissingServerIsTheSystemsNotFoundError) {
  const std::string error = creation_error(L"\\\\lbw-no-such-server\\share\\programm");
  // Windows gives 53 (network path not found); Wine gives 3.
  const std::size_t code_start = error.rfind("(os error ");
  ASSERT_NE(code_start, std::string::npos) << error;
  const DWORD code = std::stoul(error.substr(code_start + 10));
  EXPECT_TRUE(code == ERROR_PATH_NOT_FOUND || code == ERROR_BAD_NETPATH ||
              code == ERROR_BAD_NET_NAME)
      << error;
  EXPECT_EQ(error, folder_error_text(code));
}

TEST_F(InstallFolderTest, CreatesMissingLevelsUnderAVerbatimFolder) {
  const std::wstring folder = L"\\\\?\\" + temp_.path() + L"\\one\\two\\programm";
  create(folder);
  EXPECT_TRUE(is_folder(temp_ / L"one\\two\\programm"));
}

TEST_F(InstallFolderTest, CreatesAFolderLongerThanTheOldPathLimit) {
  const std::wstring long_name(100, L'n');
  const std::wstring folder =
      temp_.path() + L"\\" + long_name + L"\\" + long_name + L"\\" + long_name + L"\\programm";
  ASSERT_GT(folder.size(), 300u);
  create(folder);
  // Wine also takes long paths without the prefix; Windows needs it.
  EXPECT_TRUE(is_folder(L"\\\\?\\" + folder));
  create(folder);  // and it exists now
}

TEST_F(InstallFolderTest, CreatesALongRelativeFolderInTheCurrentFolder) {
  enter_temp_folder();
  const std::wstring relative = std::wstring(120, L'r') + L"\\" + std::wstring(120, L's') +
                                L"\\" + std::wstring(120, L't');
  set_variable(L"LBW_DATA", relative);
  create(settled());
  EXPECT_TRUE(is_folder(L"\\\\?\\" + temp_.path() + L"\\" + relative + L"\\programm"));
}

// A folder symbolic link to `target`, or the reason why none could be made.
// Wine 8's CreateSymbolicLinkW reports success without making anything, and
// it refuses junctions (FSCTL_SET_REPARSE_POINT fails with error 50).
std::optional<std::string> make_folder_link(const std::wstring& link, const std::wstring& target) {
  constexpr DWORD kDirectory = 0x1;           // SYMBOLIC_LINK_FLAG_DIRECTORY
  constexpr DWORD kUnprivileged = 0x2;        // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
  if (!CreateSymbolicLinkW(link.c_str(), target.c_str(), kDirectory | kUnprivileged)) {
    return "CreateSymbolicLinkW failed with error " + std::to_string(GetLastError());
  }
  const DWORD attributes = GetFileAttributesW(link.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return "CreateSymbolicLinkW reported success but made no link";
  }
  return std::nullopt;
}

TEST_F(InstallFolderTest, FolderReachedThroughALinkIsUsed) {
  make_folder(temp_ / L"real");
  if (std::optional<std::string> reason = make_folder_link(temp_ / L"link", temp_ / L"real")) {
    GTEST_SKIP() << *reason;
  }
  // The link itself as the install folder: it exists and leads to a folder.
  create(temp_ / L"link");
  // Folders below the link are created in its target.
  create(temp_ / L"link\\a\\programm");
  EXPECT_TRUE(is_folder(temp_ / L"real\\a\\programm"));
}

TEST_F(InstallFolderTest, LinkToNothingInPlaceOfTheFolderIsAnError) {
  if (std::optional<std::string> reason = make_folder_link(temp_ / L"link", temp_ / L"gone")) {
    GTEST_SKIP() << *reason;
  }
  EXPECT_EQ(creation_error(temp_ / L"link"), folder_error_text(ERROR_ALREADY_EXISTS));
}

}  // namespace
}  // namespace lbw
