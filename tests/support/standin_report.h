// What the stand-in application reports about how it was started.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "shell/win32.h"

namespace lbw::test {

struct StandinReport {
  std::wstring command_line;
  std::wstring working_folder;
  std::wstring module_path;
  DWORD startup_flags = 0;
  std::wstring input, output, error;  // "none", "disk", "char", "pipe" or "unknown"
  std::vector<std::wstring> arguments;
  std::vector<std::wstring> environment;  // "NAME=value", in the block's order
};

// Reads the report file; nothing when it is missing or malformed.
std::optional<StandinReport> read_standin_report(const std::wstring& path);

// Waits up to `milliseconds` for the report to appear, then reads it.
std::optional<StandinReport> wait_for_standin_report(const std::wstring& path,
                                                     DWORD milliseconds = 15'000);

}  // namespace lbw::test
