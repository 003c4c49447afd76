// The stand-in application: what it sees of its own start, gathered once and
// then told twice, in full to a report file that tests read and briefly on
// standard output for whoever watches.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "shell/win32.h"

namespace lbw::standin {

struct Observations {
  std::wstring command_line;
  std::vector<std::wstring> arguments;
  std::wstring working_directory;
  std::wstring module_path;
  DWORD startup_flags = 0;
  // Input, output, error: "none", "disk", "char", "pipe" or "unknown".
  std::array<std::wstring_view, 3> standard_handle_kinds;
  // Entries of the environment block, in its order, as NAME=value.
  std::vector<std::wstring> environment;
};

Observations observe_start();

// The value of an environment variable; empty when it is unset.
std::wstring environment_variable(const wchar_t* name);

std::wstring decimal(unsigned long long value);

// Writes the full report to path, all or nothing. False when it could not.
bool write_report_file(const Observations& seen, const std::wstring& path);

// Writes a short UTF-8 summary to an open output handle.
void write_summary(const Observations& seen, HANDLE output);

}  // namespace lbw::standin
