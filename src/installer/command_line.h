// The installer's command line: how it is split into arguments, how the mode
// is settled, and how arguments are written for the application's command
// line so that the same splitting gives them back unchanged.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace lbw {

// The arguments after the program name, each as the 16-bit units it stands
// for. Quotes and backslashes follow the usual Windows conventions: the program
// name only toggles quoting; n backslashes before a quote give n/2 and escape
// the quote when n is odd; "" inside quotes is a literal quote.
std::vector<std::wstring> arguments_of_command_line(std::wstring_view command_line);

// The first argument that selects update mode; compared exactly.
inline constexpr std::wstring_view kUpdateSwitch = L"--update";

struct Invocation {
  bool update_mode = false;
  // In update mode the arguments after the switch, otherwise all of them.
  std::vector<std::wstring> handed_on_arguments;
};

Invocation settle_invocation(std::vector<std::wstring> arguments);

// Appends one argument to a command line under construction, quoted only when
// it holds a blank or a tab or is empty, with backslashes doubled only where
// they precede a quote. Appends no separating blank.
void append_argument(std::wstring& command_line, std::wstring_view argument);

}  // namespace lbw
