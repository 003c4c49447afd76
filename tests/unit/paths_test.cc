// Path arithmetic: joining, the parent walk, staging names, and the form in
// which paths reach the system.
#include "installer/paths.h"

#include <gtest/gtest.h>

#include <string>

#include "installer/file_system.h"
#include "shell/win32.h"
#include "support/temp_folder.h"

namespace lbw {
namespace {

struct Case {
  std::wstring in;
  std::wstring out;
};

TEST(PathsTest, JoinsANameOntoAFolder) {
  const Case cases[] = {
      {L"", L"programm"},
      {L"D:\\data\\", L"D:\\data\\programm"},
      {L"D:/data/", L"D:/data/programm"},
      {L"D:", L"D:programm"},  // relative to D:'s current folder
      {L"D:\\data", L"D:\\data\\programm"},
      {L"D:data", L"D:data\\programm"},
      {L"1:", L"1:\\programm"},  // no drive letter, so no bare drive
  };
  for (const Case& c : cases) EXPECT_EQ(join_path(c.in, L"programm"), c.out) << c.in;
}

TEST(PathsTest, ParentFolderStopsAboveRoots) {
  // An empty `out` stands for no parent at all.
  const Case cases[] = {
      {L"C:\\a\\b", L"C:\\a"},
      {L"C:/a/b\\\\", L"C:/a"},
      {L"C:\\a", L""},
      {L"C:", L""},
      {L"C:a", L""},
      {L"a\\b", L"a"},
      {L"a", L""},
      {L"\\a", L""},
      {L"\\\\server\\share\\a", L""},
      {L"\\\\server\\share\\a\\b", L"\\\\server\\share\\a"},
      {L"\\\\?\\C:\\a", L""},
      {L"\\\\?\\C:\\a\\b", L"\\\\?\\C:\\a"},
      {L"\\??\\C:\\a\\b", L"\\??\\C:\\a"},
      {L"\\\\.\\C:\\a\\b", L"\\\\.\\C:\\a"},
      {L"\\\\?\\UNC\\srv\\share\\x", L""},
      {L"\\\\?\\UNC\\srv\\share\\x\\y", L"\\\\?\\UNC\\srv\\share\\x"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(std::wstring(parent_folder(c.in).value_or(L"")), c.out) << c.in;
  }
}

TEST(PathsTest, StagingNameReplacesTheExtension) {
  const Case cases[] = {
      {L"C:\\p\\WebView2Loader.dll", L"C:\\p\\WebView2Loader.neu"},
      {L"C:\\p\\a.tar.gz", L"C:\\p\\a.tar.neu"},
      {L"C:\\p\\.hidden.txt", L"C:\\p\\.hidden.neu"},
      {L"C:\\p\\name", L"C:\\p\\name.neu"},
      {L"C:\\p\\.hidden", L"C:\\p\\.hidden.neu"},
      {L".hidden", L".hidden.neu"},
      {L"C:\\a.b\\file", L"C:\\a.b\\file.neu"},
      {L"C:/a.b/file", L"C:/a.b/file.neu"},
  };
  for (const Case& c : cases) EXPECT_EQ(staging_path_of(c.in), c.out) << c.in;
}

TEST(PathsTest, TellsWhichPathsNeedTheExtendedForm) {
  const std::wstring long_name(300, L'a');
  // 248 units with the terminator is the limit: 246 units stay, 247 do not.
  EXPECT_FALSE(needs_extended_form(L"C:\\" + std::wstring(243, L'a')));
  EXPECT_TRUE(needs_extended_form(L"C:\\" + std::wstring(244, L'a')));
  for (const wchar_t* path : {L"C:\\a", L"C:", L"1:\\a", L"\\\\server\\share\\a"}) {
    EXPECT_FALSE(needs_extended_form(path)) << path;
  }
  for (const wchar_t* path : {L"programm", L"D:x", L"\\a"}) {
    EXPECT_TRUE(needs_extended_form(path)) << path;
  }
  EXPECT_FALSE(needs_extended_form(L"\\\\?\\C:\\" + long_name));
  EXPECT_FALSE(needs_extended_form(L"\\??\\C:\\" + long_name));

  const Case cases[] = {
      {L"C:\\a", L"\\\\?\\C:\\a"},
      {L"\\\\server\\share\\a", L"\\\\?\\UNC\\server\\share\\a"},
      {L"\\\\.\\C:\\a", L"\\\\?\\C:\\a"},
      {L"\\\\?\\C:\\a", L"\\\\?\\C:\\a"},
      {L"\\??\\C:\\a", L"\\??\\C:\\a"},
  };
  for (const Case& c : cases) EXPECT_EQ(extended_form_of_full_path(c.in), c.out) << c.in;
}

TEST(PathsTest, SystemPathMakesRelativeAndLongPathsFull) {
  test::TempFolder temp;
  wchar_t saved[MAX_PATH];
  ASSERT_NE(GetCurrentDirectoryW(MAX_PATH, saved), 0u);
  ASSERT_TRUE(SetCurrentDirectoryW(temp.path().c_str()));
  OsResult<std::wstring> relative = system_path(L"a/b\\..\\c");
  SetCurrentDirectoryW(saved);
  ASSERT_TRUE(relative.ok());
  EXPECT_EQ(relative.value(), L"\\\\?\\" + temp.path() + L"\\a\\c");

  const std::wstring long_path = temp.path() + L"\\" + std::wstring(300, L'a');
  OsResult<std::wstring> extended = system_path(long_path);
  ASSERT_TRUE(extended.ok());
  EXPECT_EQ(extended.value(), L"\\\\?\\" + long_path);
  OsResult<std::wstring> short_path = system_path(L"C:\\a/..\\b");
  ASSERT_TRUE(short_path.ok());
  EXPECT_EQ(short_path.value(), L"C:\\a/..\\b");
}

}  // namespace
}  // namespace lbw
