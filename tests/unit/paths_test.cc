// Path arithmetic: joining names onto folders, the parent walk used when
// creating folders, staging names, and the form in which paths reach Windows.
#include "installer/paths.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "installer/file_system.h"
#include "shell/win32.h"
#include "support/temp_folder.h"

namespace lbw {
namespace {

struct JoinCase {
  std::wstring folder;
  std::wstring name;
  std::wstring joined;
};

class JoinPathTest : public ::testing::TestWithParam<JoinCase> {};

TEST_P(JoinPathTest, JoinsTheNameOntoTheFolder) {
  EXPECT_EQ(join_path(GetParam().folder, GetParam().name), GetParam().joined);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, JoinPathTest,
    ::testing::Values(
        // An empty folder gives the name alone, relative to the current folder.
        JoinCase{L"", L"programm", L"programm"},
        // A final separator of either kind is kept and the name follows it.
        JoinCase{L"D:\\data\\", L"programm", L"D:\\data\\programm"},
        JoinCase{L"D:/data/", L"programm", L"D:/data/programm"},
        JoinCase{L"C:\\", L"programm", L"C:\\programm"},
        JoinCase{L"\\", L"programm", L"\\programm"},
        JoinCase{L"data\\\\", L"programm", L"data\\\\programm"},
        // A bare drive gives a path relative to that drive's current folder.
        JoinCase{L"D:", L"programm", L"D:programm"},
        JoinCase{L"d:", L"programm", L"d:programm"},
        // Anything else gets exactly one backslash.
        JoinCase{L"D:\\data", L"programm", L"D:\\data\\programm"},
        JoinCase{L"D:data", L"programm", L"D:data\\programm"},
        JoinCase{L"data", L"programm", L"data\\programm"},
        JoinCase{L"1:", L"programm", L"1:\\programm"},  // no drive letter
        JoinCase{L"D:\\data\\ ", L"programm", L"D:\\data\\ \\programm"},
        JoinCase{L"\\\\server\\share", L"programm", L"\\\\server\\share\\programm"},
        JoinCase{L"\\\\?\\C:\\data", L"programm", L"\\\\?\\C:\\data\\programm"},
        JoinCase{L"\\\\?\\C:\\", L"programm", L"\\\\?\\C:\\programm"},
        JoinCase{L"\\\\?\\D:", L"programm", L"\\\\?\\D:\\programm"},
        JoinCase{L"\\\\?\\UNC\\srv\\share", L"x", L"\\\\?\\UNC\\srv\\share\\x"},
        // Units are carried as they are, unpaired surrogates included.
        JoinCase{L"C:\\\xD800", L"programm", L"C:\\\xD800\\programm"},
        JoinCase{L"\xDC00", L"programm", L"\xDC00\\programm"},
        // Joined twice, as for LOCALAPPDATA.
        JoinCase{L"C:\\Users\\u\\AppData\\Local\\Programs", L"Lirabel Warden",
                 L"C:\\Users\\u\\AppData\\Local\\Programs\\Lirabel Warden"}));

struct ParentCase {
  std::wstring path;
  std::optional<std::wstring> parent;
};

class ParentFolderTest : public ::testing::TestWithParam<ParentCase> {};

TEST_P(ParentFolderTest, GivesTheFolderToCreateFirst) {
  const std::optional<std::wstring_view> parent = parent_folder(GetParam().path);
  if (GetParam().parent) {
    ASSERT_TRUE(parent.has_value());
    EXPECT_EQ(std::wstring(*parent), *GetParam().parent);
  } else {
    EXPECT_FALSE(parent.has_value()) << "parent: " << std::wstring(parent.value_or(L""));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ParentFolderTest,
    ::testing::Values(
        // Drive paths; a root or a bare drive is never created itself.
        ParentCase{L"C:\\a\\b", L"C:\\a"}, ParentCase{L"C:\\a\\b\\c", L"C:\\a\\b"},
        ParentCase{L"C:\\a", std::nullopt}, ParentCase{L"C:\\", std::nullopt},
        ParentCase{L"C:", std::nullopt}, ParentCase{L"C:a", std::nullopt},
        ParentCase{L"C:a\\b", L"C:a"}, ParentCase{L"C:/a/b", L"C:/a"},
        // Relative paths end at their empty rest.
        ParentCase{L"a\\b", L"a"}, ParentCase{L"a/b", L"a"}, ParentCase{L"a", std::nullopt},
        ParentCase{L"", std::nullopt}, ParentCase{L"Programs\\Lirabel Warden", L"Programs"},
        // Rooted on the current drive.
        ParentCase{L"\\a\\b", L"\\a"}, ParentCase{L"\\a", std::nullopt},
        // Trailing and doubled separators are not components.
        ParentCase{L"C:\\a\\b\\", L"C:\\a"}, ParentCase{L"C:\\a\\b\\\\", L"C:\\a"},
        ParentCase{L"a\\\\b", L"a"}, ParentCase{L"a\\b/", L"a"},
        ParentCase{L"C:\\a\\", std::nullopt},
        // A share is a root like a drive.
        ParentCase{L"\\\\server\\share\\a", std::nullopt},
        ParentCase{L"\\\\server\\share\\a\\b", L"\\\\server\\share\\a"},
        ParentCase{L"\\\\server\\share", std::nullopt},
        ParentCase{L"//server/share/a/b", L"//server/share/a"},
        // The system's own forms keep their prefix and root.
        ParentCase{L"\\\\?\\C:\\a\\b", L"\\\\?\\C:\\a"},
        ParentCase{L"\\\\?\\C:\\a", std::nullopt},
        ParentCase{L"\\??\\C:\\a\\b", L"\\??\\C:\\a"},
        ParentCase{L"\\\\?\\UNC\\srv\\share\\x\\y", L"\\\\?\\UNC\\srv\\share\\x"},
        ParentCase{L"\\\\?\\UNC\\srv\\share\\x", std::nullopt},
        ParentCase{L"\\\\.\\C:\\a\\b", L"\\\\.\\C:\\a"},
        // Units are carried as they are.
        ParentCase{L"C:\\\xD800\\\xDC00", L"C:\\\xD800"}));

struct StagingCase {
  std::wstring target;
  std::wstring staging;
};

class StagingPathTest : public ::testing::TestWithParam<StagingCase> {};

TEST_P(StagingPathTest, ReplacesTheExtensionWithNeu) {
  EXPECT_EQ(staging_path_of(GetParam().target), GetParam().staging);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, StagingPathTest,
    ::testing::Values(
        // The installer's two files: the extension is replaced, not extended.
        StagingCase{L"C:\\p\\WebView2Loader.dll", L"C:\\p\\WebView2Loader.neu"},
        StagingCase{L"C:\\p\\lirabel-warden.exe", L"C:\\p\\lirabel-warden.neu"},
        StagingCase{L"WebView2Loader.dll", L"WebView2Loader.neu"},
        StagingCase{L"D:programm\\lirabel-warden.exe", L"D:programm\\lirabel-warden.neu"},
        // Only the last dot counts.
        StagingCase{L"C:\\p\\a.tar.gz", L"C:\\p\\a.tar.neu"},
        StagingCase{L"C:\\p\\a..b", L"C:\\p\\a..neu"},
        StagingCase{L"C:\\p\\..x", L"C:\\p\\..neu"},
        StagingCase{L"C:\\p\\.hidden.txt", L"C:\\p\\.hidden.neu"},
        // A final dot is an empty extension.
        StagingCase{L"C:\\p\\a.", L"C:\\p\\a.neu"},
        // No extension, or a leading dot only: ".neu" is appended.
        StagingCase{L"C:\\p\\name", L"C:\\p\\name.neu"},
        StagingCase{L"C:\\p\\.hidden", L"C:\\p\\.hidden.neu"},
        StagingCase{L".hidden", L".hidden.neu"},
        StagingCase{L"name", L"name.neu"},
        // A dot in the folder part is not the file's.
        StagingCase{L"C:\\a.b\\file", L"C:\\a.b\\file.neu"},
        StagingCase{L"C:/a.b/file", L"C:/a.b/file.neu"},
        StagingCase{L"C:\\a.b\\.file", L"C:\\a.b\\.file.neu"},
        StagingCase{L"\\\\?\\C:\\a.b\\file", L"\\\\?\\C:\\a.b\\file.neu"},
        // Units are carried as they are.
        StagingCase{L"C:\\\xD800.\xDC00", L"C:\\\xD800.neu"}));

// A path of `units` units in all: a drive, a backslash and letters.
std::wstring drive_path_of_length(std::size_t units) {
  return L"C:\\" + std::wstring(units - 3, L'a');
}

struct ExtendedFormCase {
  std::wstring path;
  bool needed;
};

class NeedsExtendedFormTest : public ::testing::TestWithParam<ExtendedFormCase> {};

TEST_P(NeedsExtendedFormTest, TellsWhetherThePathIsMadeFullAndPrefixed) {
  EXPECT_EQ(needs_extended_form(GetParam().path), GetParam().needed);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, NeedsExtendedFormTest,
    ::testing::Values(
        // Short drive and network paths go to the system as they are.
        ExtendedFormCase{L"C:\\a", false}, ExtendedFormCase{L"C:/a", false},
        ExtendedFormCase{L"C:", false}, ExtendedFormCase{L"C:\\", false},
        ExtendedFormCase{L"1:\\a", false},  // any non-separator before the colon
        ExtendedFormCase{L"\\\\server\\share\\a", false},
        ExtendedFormCase{L"//server/share", false}, ExtendedFormCase{L"\\/server", false},
        ExtendedFormCase{L"\\\\.\\COM1", false},
        // 248 units counting the terminator is the limit: 246 units stay, 247 do not.
        ExtendedFormCase{drive_path_of_length(246), false},
        ExtendedFormCase{drive_path_of_length(247), true},
        ExtendedFormCase{drive_path_of_length(300), true},
        ExtendedFormCase{L"\\\\server\\" + std::wstring(237, L's'), false},  // 246 units
        ExtendedFormCase{L"\\\\server\\" + std::wstring(238, L's'), true},   // 247 units
        // Relative, drive-relative and rooted paths are made full first.
        ExtendedFormCase{L"", true}, ExtendedFormCase{L"programm", true},
        ExtendedFormCase{L"a\\b", true}, ExtendedFormCase{L"D:x", true},
        ExtendedFormCase{L"D:programm\\x", true}, ExtendedFormCase{L"\\a", true},
        ExtendedFormCase{L"/a", true}, ExtendedFormCase{L":\\a", true},
        ExtendedFormCase{L"\\:\\a", true},
        // The system's own forms are left alone, at any length.
        ExtendedFormCase{L"\\\\?\\C:\\a", false}, ExtendedFormCase{L"\\??\\C:\\a", false},
        ExtendedFormCase{L"\\\\?\\UNC\\srv\\share", false},
        ExtendedFormCase{L"\\\\?\\" + drive_path_of_length(300), false},
        ExtendedFormCase{L"\\??\\" + drive_path_of_length(300), false}));

struct FullPathCase {
  std::wstring full_path;
  std::wstring extended;
};

class ExtendedFormOfFullPathTest : public ::testing::TestWithParam<FullPathCase> {};

TEST_P(ExtendedFormOfFullPathTest, GivesTheExtendedLengthPrefix) {
  EXPECT_EQ(extended_form_of_full_path(GetParam().full_path), GetParam().extended);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ExtendedFormOfFullPathTest,
    ::testing::Values(
        FullPathCase{L"C:\\a\\b", L"\\\\?\\C:\\a\\b"}, FullPathCase{L"C:\\", L"\\\\?\\C:\\"},
        FullPathCase{L"\\\\server\\share\\a", L"\\\\?\\UNC\\server\\share\\a"},
        FullPathCase{L"\\\\server\\share", L"\\\\?\\UNC\\server\\share"},
        FullPathCase{L"\\\\.\\C:\\a", L"\\\\?\\C:\\a"},
        FullPathCase{L"\\\\.\\COM1", L"\\\\?\\COM1"},
        FullPathCase{L"\\\\?\\C:\\a", L"\\\\?\\C:\\a"},
        FullPathCase{L"\\\\?\\UNC\\srv\\share", L"\\\\?\\UNC\\srv\\share"},
        FullPathCase{L"\\??\\C:\\a", L"\\??\\C:\\a"}));

// system_path against the real GetFullPathNameW, with the current folder set
// to a fresh temporary folder.
class SystemPathTest : public test::TempFolderTest {
 protected:
  void SetUp() override {
    wchar_t current[MAX_PATH + 1];
    const DWORD length = GetCurrentDirectoryW(MAX_PATH + 1, current);
    ASSERT_GT(length, 0u);
    ASSERT_LE(length, static_cast<DWORD>(MAX_PATH));
    saved_current_.assign(current, length);
    ASSERT_TRUE(SetCurrentDirectoryW(temp_.path().c_str()));
  }
  void TearDown() override { SetCurrentDirectoryW(saved_current_.c_str()); }

  static std::wstring converted(std::wstring_view path) {
    OsResult<std::wstring> result = system_path(path);
    if (!result.ok()) {
      ADD_FAILURE() << "system_path failed with os error " << result.error().code;
      return {};
    }
    return *result;
  }

  std::wstring saved_current_;
};

TEST_F(SystemPathTest, MakesARelativePathFullAndPrefixed) {
  EXPECT_EQ(converted(L"programm"), L"\\\\?\\" + temp_.path() + L"\\programm");
  EXPECT_EQ(converted(L"a/b\\c"), L"\\\\?\\" + temp_.path() + L"\\a\\b\\c");
  EXPECT_EQ(converted(L"a\\..\\b"), L"\\\\?\\" + temp_.path() + L"\\b");
}

TEST_F(SystemPathTest, ResolvesADriveRelativePathAgainstTheCurrentFolder) {
  ASSERT_EQ(temp_.path()[1], L':') << "the temporary folder is not on a drive";
  const std::wstring drive = temp_.path().substr(0, 2);
  EXPECT_EQ(converted(drive + L"programm"), L"\\\\?\\" + temp_.path() + L"\\programm");
}

TEST_F(SystemPathTest, ResolvesARootedPathOnTheCurrentDrive) {
  const std::wstring drive = temp_.path().substr(0, 2);
  EXPECT_EQ(converted(L"\\x\\y"), L"\\\\?\\" + drive + L"\\x\\y");
}

TEST_F(SystemPathTest, PrefixesALongFullPath) {
  const std::wstring long_path =
      temp_.path() + L"\\" + std::wstring(150, L'a') + L"\\" + std::wstring(150, L'b');
  ASSERT_GT(long_path.size(), 300u);
  EXPECT_EQ(converted(long_path), L"\\\\?\\" + long_path);
  // Made full first, so separators and dot components are the system's.
  const std::wstring unnormalised =
      temp_.path() + L"/" + std::wstring(150, L'a') + L"/.\\x\\..\\" + std::wstring(150, L'b');
  EXPECT_EQ(converted(unnormalised), L"\\\\?\\" + long_path);
}

TEST_F(SystemPathTest, PrefixesALongNetworkPathAsUnc) {
  const std::wstring share_path = L"\\\\server\\share\\" + std::wstring(300, L'a');
  EXPECT_EQ(converted(share_path), L"\\\\?\\UNC\\server\\share\\" + std::wstring(300, L'a'));
}

TEST_F(SystemPathTest, LeavesShortFullPathsAndTheSystemsOwnFormsUnchanged) {
  EXPECT_EQ(converted(L"C:\\a/..\\b"), L"C:\\a/..\\b");
  EXPECT_EQ(converted(L"\\\\server\\share\\a"), L"\\\\server\\share\\a");
  const std::wstring verbatim = L"\\\\?\\C:\\" + std::wstring(300, L'a') + L"\\..";
  EXPECT_EQ(converted(verbatim), verbatim);
  EXPECT_EQ(converted(L"\\??\\C:\\a\\.."), L"\\??\\C:\\a\\..");
}

TEST_F(SystemPathTest, CarriesUnpairedSurrogatesIntoTheFullPath) {
  EXPECT_EQ(converted(L"\xD800\\\xDC00"), L"\\\\?\\" + temp_.path() + L"\\\xD800\\\xDC00");
}

}  // namespace
}  // namespace lbw
