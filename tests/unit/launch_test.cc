// How the application's command line is written, so that it splits back into
// exactly the arguments the installer was given.
#include "installer/launch.h"

#include <gtest/gtest.h>

#include <random>

#include "installer/command_line.h"
#include "shell/win32.h"

namespace lbw {
namespace {

struct QuotingCase {
  std::wstring argument;
  std::wstring written;
};

class AppendArgumentTest : public ::testing::TestWithParam<QuotingCase> {};

TEST_P(AppendArgumentTest, WritesTheArgument) {
  std::wstring line;
  append_argument(line, GetParam().argument);
  EXPECT_EQ(line, GetParam().written);
}

INSTANTIATE_TEST_SUITE_P(
    Quoting, AppendArgumentTest,
    ::testing::Values(QuotingCase{L"plain", L"plain"},
                      // Only blanks, tabs and emptiness call for quotes.
                      QuotingCase{L"x y", L"\"x y\""}, QuotingCase{L"x\ty", L"\"x\ty\""},
                      QuotingCase{L"", L"\"\""}, QuotingCase{L"a\nb&|<>^%", L"a\nb&|<>^%"},
                      // A quote is always escaped, with the backslashes before it doubled.
                      QuotingCase{L"a\"b", L"a\\\"b"}, QuotingCase{L"a\\\\\"b", L"a\\\\\\\\\\\"b"},
                      QuotingCase{L"\"", L"\\\""},
                      QuotingCase{L"say \"hi\"", L"\"say \\\"hi\\\"\""},
                      // Backslashes elsewhere stay single.
                      QuotingCase{L"a\\b", L"a\\b"}, QuotingCase{L"a\\", L"a\\"},
                      QuotingCase{L"\\\\server\\share", L"\\\\server\\share"},
                      // A trailing run is doubled only before the closing quote.
                      QuotingCase{L"C:\\my dir\\", L"\"C:\\my dir\\\\\""},
                      QuotingCase{L"a b\\\\", L"\"a b\\\\\\\\\""},
                      // Other units go through as they are.
                      QuotingCase{L"\xD800\xDC00\xD800", L"\xD800\xDC00\xD800"}));

TEST(ApplicationCommandLineTest, IsTheQuotedPathThenOneBlankBeforeEachArgument) {
  EXPECT_EQ(application_command_line(L"C:\\A B\\lirabel-warden.exe", {}),
            L"\"C:\\A B\\lirabel-warden.exe\"");
  EXPECT_EQ(application_command_line(L"programm\\lirabel-warden.exe", {L"a", L"", L"b c"}),
            L"\"programm\\lirabel-warden.exe\" a \"\" \"b c\"");
}

TEST(ApplicationNameTest, LongNameIsResolvedBeforeItGetsThePrefixAndTooLongIsRefused) {
  // The long-path form is taken literally, so ".." must be gone before it.
  const std::wstring long_name(250, L'n');
  OsResult<std::wstring> name =
      application_name_of(L"C:\\data\\old\\..\\" + long_name + L"\\lirabel-warden.exe");
  ASSERT_TRUE(name.ok());
  EXPECT_EQ(name.value(), L"\\\\?\\C:\\data\\" + long_name + L"\\lirabel-warden.exe");
  // Up to MAX_PATH with its terminator the application sees its own plain path.
  const std::wstring fits = L"C:\\" + std::wstring(252, L'n') + L".exe";
  ASSERT_EQ(fits.size() + 1, std::size_t{MAX_PATH});
  EXPECT_EQ(application_name_of(fits).value(), fits);
  EXPECT_EQ(application_name_of(fits + L"e").value(), L"\\\\?\\" + fits + L"e");
  name = application_name_of(L"C:\\" + std::wstring(32'764, L'n'));
  ASSERT_FALSE(name.ok());
  EXPECT_EQ(name.error().code, ERROR_FILENAME_EXCED_RANGE);
}

TEST(WorkingFolderTest, ShortFormWhereOnlyThatFitsAsTheCurrentFolder) {
  // With a final backslash and the terminator, MAX_PATH units at most.
  const std::wstring fits = L"C:\\" + std::wstring(255, L'f');
  const std::wstring longer = fits + L"f";
  EXPECT_TRUE(fits_as_current_folder(fits));
  EXPECT_FALSE(fits_as_current_folder(longer));
  EXPECT_TRUE(fits_as_current_folder(longer.substr(0, 258) + L"\\"));
  const std::wstring short_form = L"C:\\FFFFFF~1";
  EXPECT_EQ(working_folder_for_start(L"data\\programm", fits, short_form), L"data\\programm");
  EXPECT_EQ(working_folder_for_start(longer, longer, short_form), short_form);
  EXPECT_EQ(working_folder_for_start(longer, longer, L""), longer) << "the system's refusal";
  EXPECT_EQ(working_folder_for_start(longer, longer, longer), longer);
}

// Arguments made of the units that matter to quoting, and a few that do not.
std::vector<std::wstring> random_arguments(std::mt19937& random) {
  static const std::wstring_view pieces[] = {L"a",      L" ",      L"\t",       L"\"",
                                             L"\\",     L"\\\\",   L"ä",        L"\xD83D\xDE00",
                                             L"\xD800", L"\xDC00", L"--update", L"\n"};
  std::uniform_int_distribution<int> count(0, 5);
  std::uniform_int_distribution<int> length(0, 8);
  std::uniform_int_distribution<std::size_t> piece(0, std::size(pieces) - 1);
  std::vector<std::wstring> arguments(count(random));
  for (std::wstring& argument : arguments) {
    for (int n = length(random); n > 0; --n) argument += pieces[piece(random)];
  }
  return arguments;
}

TEST(ApplicationCommandLineTest, EveryArgumentListSurvivesWritingAndSplitting) {
  std::mt19937 random(20261208);
  for (int round = 0; round < 5000; ++round) {
    const std::vector<std::wstring> arguments = random_arguments(random);
    const std::wstring line = application_command_line(L"C:\\Apps\\lirabel-warden.exe", arguments);
    ASSERT_EQ(arguments_of_command_line(line), arguments) << "round " << round;
  }
}

}  // namespace
}  // namespace lbw
