// Runs a setup program the way the demonstration shows it: with this
// process's environment (changed as asked) and standard handles, answering
// every message box and printing what it said.
//
//   setup_runner [--set NAME=VALUE]... [--unset NAME]... -- PROGRAM [ARGUMENTS...]
#include <cstdio>
#include <string>
#include <vector>

#include "installer/command_line.h"
#include "support/setup_rig.h"

namespace {

std::string utf8(std::wstring_view text) {
  std::string bytes(text.size() * 3, '\0');
  bytes.resize(WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                   bytes.data(), static_cast<int>(bytes.size()), nullptr, nullptr));
  return bytes;
}

int usage() {
  std::fputs("usage: setup_runner [--set NAME=VALUE]... [--unset NAME]... -- PROGRAM [ARGS...]\n",
             stderr);
  return 2;
}

}  // namespace

int main() {
  using lbw::test::SetupOptions;
  const std::vector<std::wstring> arguments = lbw::arguments_of_command_line(GetCommandLineW());
  SetupOptions options;
  options.environment = lbw::test::Environment::current();
  options.handles.inherit = true;
  options.timeout_ms = 120'000;
  std::size_t i = 0;
  for (; i < arguments.size() && arguments[i] != L"--"; ++i) {
    if (arguments[i] == L"--set" && i + 1 < arguments.size()) {
      const std::wstring& assignment = arguments[++i];
      const std::size_t equals = assignment.find(L'=');
      if (equals == std::wstring::npos) return usage();
      options.environment.set(assignment.substr(0, equals), assignment.substr(equals + 1));
    } else if (arguments[i] == L"--unset" && i + 1 < arguments.size()) {
      options.environment.unset(arguments[++i]);
    } else {
      return usage();
    }
  }
  if (i + 1 >= arguments.size()) return usage();
  options.program = arguments[i + 1];
  for (std::size_t k = i + 2; k < arguments.size(); ++k) {
    if (!options.arguments.empty()) options.arguments += L' ';
    lbw::append_argument(options.arguments, arguments[k]);
  }

  const lbw::test::SetupRun run = lbw::test::run_setup(options);
  // The application that the setup program started writes to the same
  // terminal; give it a moment, so that its lines come first.
  Sleep(500);
  for (const lbw::test::Dialog& box : run.dialogs) {
    std::printf("  message box \"%s\": %s\n", utf8(box.caption).c_str(), utf8(box.text).c_str());
  }
  if (!run.finished) {
    std::printf("  the setup program did not end within %lu s\n", options.timeout_ms / 1000);
    return 1;
  }
  std::printf("  setup program ended after %.2f s with exit status %lu%s\n", run.seconds,
              run.exit_code, run.dialogs.empty() ? ", showing nothing" : "");
  return 0;
}
