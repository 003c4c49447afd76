// Settling the install folder from the environment and creating it, against
// real folders: what the runs of the whole setup program don't reach.
#include "installer/install_folder.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "installer/messages.h"
#include "shell/system_error.h"
#include "shell/win32.h"
#include "support/files.h"
#include "support/platform.h"
#include "support/temp_folder.h"

namespace lbw {
namespace {

using test::folder_entries;
using Names = std::vector<std::wstring>;

std::string folder_error(DWORD code) {
  return std::string(messages::kFolderNotCreated) + error_text_of(os_error(code));
}

std::string outcome_of(std::wstring_view folder) {
  Status status = create_install_folder(folder);
  return status.ok() ? "created" : status.error().text;
}

// Starts with neither variable set and puts both back afterwards.
class InstallFolderTest : public test::TempFolderTest {
 protected:
  void SetUp() override {
    for (auto& [name, value] : saved_) {
      std::wstring buffer(32767, L'\0');
      SetLastError(ERROR_SUCCESS);
      buffer.resize(GetEnvironmentVariableW(name, buffer.data(), 32767));
      if (GetLastError() != ERROR_ENVVAR_NOT_FOUND) value = buffer;
      SetEnvironmentVariableW(name, nullptr);
    }
  }
  void TearDown() override {
    for (auto& [name, value] : saved_)
      SetEnvironmentVariableW(name, value ? value->c_str() : nullptr);
  }

  std::pair<const wchar_t*, std::optional<std::wstring>> saved_[2] = {{L"LBW_DATA", {}},
                                                                      {L"LOCALAPPDATA", {}}};
};

TEST_F(InstallFolderTest, TakesTheVariablesExactlyAsTheSystemGivesThem) {
  const std::wstring programs = L"\\Programs\\Lirabel Warden";
  const struct {
    std::optional<std::wstring> data, local;  // nothing: not set
    std::wstring folder;
  } cases[] = {
      {L"", {}, L"programm"},                          // present though empty
      {L" %TEMP% ", L"C:\\l", L" %TEMP% \\programm"},  // neither expanded nor trimmed
      // Around the first lookup buffer of 256 units, and far beyond it.
      {std::wstring(255, L'd'), {}, std::wstring(255, L'd') + L"\\programm"},
      {std::wstring(256, L'd'), {}, std::wstring(256, L'd') + L"\\programm"},
      {std::wstring(5000, L'd'), {}, std::wstring(5000, L'd') + L"\\programm"},
      {{}, std::wstring(257, L'l'), std::wstring(257, L'l') + programs},
  };
  for (const auto& c : cases) {
    SetEnvironmentVariableW(L"LBW_DATA", c.data ? c.data->c_str() : nullptr);
    SetEnvironmentVariableW(L"LOCALAPPDATA", c.local ? c.local->c_str() : nullptr);
    Result<std::wstring> folder = settle_install_folder();
    ASSERT_TRUE(folder.ok()) << folder.error().text;
    EXPECT_EQ(folder.value(), c.folder) << c.folder.size();
  }
}

TEST_F(InstallFolderTest, FileInPlaceOfAParentIsTheAlreadyExistsError) {
  // Creating below the file fails as not found, so the walk goes up to the
  // file, whose creation meets the already-exists error.
  test::write_file(temp_ / L"data", test::bytes_of("not a folder"));
  EXPECT_EQ(outcome_of(temp_ / L"data\\inner\\programm"), folder_error(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(test::read_file(temp_ / L"data"), test::bytes_of("not a folder"));
}

TEST_F(InstallFolderTest, MissingDriveIsTheSystemsNotFoundError) {
  const DWORD drives = GetLogicalDrives();
  wchar_t letter = L'Y';
  while (letter >= L'D' && (drives & (1u << (letter - L'A'))) != 0) --letter;
  if (letter < L'D') GTEST_SKIP() << "every drive letter is in use";
  const std::wstring root = std::wstring(1, letter) + L":\\";
  const std::string outcome = outcome_of(root + L"data\\programm");
  // Windows gives 3 (path not found) at the outermost missing folder; Wine gives 2.
  if (test::running_under_wine()) {
    EXPECT_TRUE(outcome == folder_error(ERROR_FILE_NOT_FOUND) ||
                outcome == folder_error(ERROR_PATH_NOT_FOUND) ||
                outcome == folder_error(ERROR_INVALID_DRIVE))
        << outcome;
  } else {
    EXPECT_EQ(outcome, folder_error(ERROR_PATH_NOT_FOUND));
  }
  EXPECT_FALSE(test::exists(root + L"data"));
}

TEST_F(InstallFolderTest, CreatesAFolderLongerThanTheOldPathLimit) {
  const std::wstring name(100, L'n');
  const std::wstring folder = temp_.path() + L"\\" + name + L"\\" + name + L"\\" + name;
  ASSERT_GT(folder.size(), 300u);
  EXPECT_EQ(outcome_of(folder), "created");
  // Wine also takes long paths without the prefix; Windows needs it.
  EXPECT_TRUE(test::is_folder(L"\\\\?\\" + folder));
}

TEST_F(InstallFolderTest, FoldersCreatedBeforeAFailureStay) {
  // A name longer than any the file system takes is refused only once its
  // parent exists: Windows calls it invalid (123), Wine says it is not found.
  const std::wstring refused = temp_ / L"kept\\" + std::wstring(300, L'x');
  const std::string outcome = outcome_of(refused + L"\\programm");
  ASSERT_FALSE(CreateDirectoryW((L"\\\\?\\" + refused).c_str(), nullptr));
  const DWORD refusal = GetLastError();
  EXPECT_EQ(outcome, folder_error(refusal));
  if (!test::running_under_wine()) {
    EXPECT_EQ(refusal, static_cast<DWORD>(ERROR_INVALID_NAME));
  }
  EXPECT_EQ(folder_entries(temp_.path()), Names{L"kept"});
  EXPECT_TRUE(folder_entries(temp_ / L"kept").empty());
}

}  // namespace
}  // namespace lbw
