// Splitting the installer's command line and settling the mode.
#include "installer/command_line.h"

#include <gtest/gtest.h>

namespace lbw {
namespace {

using Arguments = std::vector<std::wstring>;

struct SplitCase {
  std::wstring line;
  Arguments arguments;
};

class SplitTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitTest, GivesTheArgumentsAfterTheProgramName) {
  EXPECT_EQ(arguments_of_command_line(GetParam().line), GetParam().arguments);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, SplitTest,
    ::testing::Values(
        // An empty line, or a program name alone, has no arguments.
        SplitCase{L"", {}}, SplitCase{L"setup.exe", {}}, SplitCase{L"setup.exe   \t ", {}},
        // The program name: quotes toggle and are dropped, backslashes are ordinary,
        // and it ends at the first blank or tab outside quotes.
        SplitCase{L"\"C:\\My Apps\\setup.exe\" a", {L"a"}},
        SplitCase{L"C:\\x\\\"y z\"\\setup.exe a", {L"a"}},
        SplitCase{L"C:\\dir\\\" a b", {}},  // a quote after a backslash still toggles
        SplitCase{L"set\"up .exe\" b", {L"b"}}, SplitCase{L"setup.exe\ta", {L"a"}},
        // Blanks before it end an empty program name: what follows are arguments.
        SplitCase{L" setup.exe a", {L"setup.exe", L"a"}}, SplitCase{L"\t ", {}},
        // Runs of blanks and tabs end an argument.
        SplitCase{L"p a  b\t\tc", {L"a", L"b", L"c"}},
        // Backslashes not before a quote stay as they are.
        SplitCase{L"p a\\b c\\\\d e\\", {L"a\\b", L"c\\\\d", L"e\\"}},
        // n backslashes before a quote give n/2; odd n escapes the quote.
        SplitCase{L"p a\\\"b", {L"a\"b"}}, SplitCase{L"p a\\\\\"b c\"", {L"a\\b c"}},
        SplitCase{L"p a\\\\\\\"b", {L"a\\\"b"}}, SplitCase{L"p \"a\\\\\" b", {L"a\\", L"b"}},
        // Quotes group blanks and tabs and are dropped.
        SplitCase{L"p \"a b\" \"c\td\"", {L"a b", L"c\td"}}, SplitCase{L"p a\"b c\"d", {L"ab cd"}},
        // Inside quotes, "" is one literal quote and quoting stays on.
        SplitCase{L"p \"a\"\"b c\"", {L"a\"b c"}}, SplitCase{L"p \"\"\"\"", {L"\""}},
        // A quote followed by another character ends quoting.
        SplitCase{L"p \"a\"b c", {L"ab", L"c"}},
        // Empty arguments: ended by a blank, or closed by a quote at the very end.
        SplitCase{L"p \"\" a", {L"", L"a"}}, SplitCase{L"p a \"\"", {L"a", L""}},
        SplitCase{L"p \"\"", {L""}}, SplitCase{L"p \"\" ", {L""}},
        // An argument still quoted at the end of the line counts, even empty.
        SplitCase{L"p \"", {L""}}, SplitCase{L"p \"a b", {L"a b"}},
        SplitCase{L"p a \"", {L"a", L""}},
        // Units are carried as they are, unpaired surrogates included.
        SplitCase{L"p \xD800x \xDC00 \xD83D\xDE00", {L"\xD800x", L"\xDC00", L"\xD83D\xDE00"}}));

struct ModeCase {
  std::wstring line;
  bool update_mode;
  Arguments handed_on;
};

class ModeTest : public ::testing::TestWithParam<ModeCase> {};

TEST_P(ModeTest, SettlesUpdateModeAndTheHandedOnArguments) {
  const Invocation invocation = settle_invocation(arguments_of_command_line(GetParam().line));
  EXPECT_EQ(invocation.update_mode, GetParam().update_mode);
  EXPECT_EQ(invocation.handed_on_arguments, GetParam().handed_on);
}

INSTANTIATE_TEST_SUITE_P(
    UpdateSwitch, ModeTest,
    ::testing::Values(ModeCase{L"setup.exe", false, {}}, ModeCase{L"setup.exe --update", true, {}},
                      ModeCase{L"setup.exe --update a \"b c\"", true, {L"a", L"b c"}},
                      ModeCase{L"setup.exe \"--update\" a", true, {L"a"}},
                      ModeCase{L"setup.exe --update --update", true, {L"--update"}},
                      ModeCase{L"setup.exe --UPDATE a", false, {L"--UPDATE", L"a"}},
                      ModeCase{L"setup.exe --update=1", false, {L"--update=1"}},
                      ModeCase{L"setup.exe \" --update\"", false, {L" --update"}},
                      ModeCase{L"setup.exe a --update", false, {L"a", L"--update"}}));

}  // namespace
}  // namespace lbw
