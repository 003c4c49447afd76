// The stand-in for the application the setup program installs. It tells how
// it was started, so that tests and the demo can see what the setup program
// handed on, and can be asked to linger so that it holds on to its file.
#include <optional>

#include "shell/fault.h"
#include "standin.h"

// The runtime's start-up must not expand wildcards: arguments are read from
// the raw command line, and an argument such as * must reach the report as is.
extern "C" {
int _dowildcard = 0;
}

namespace {

constexpr int kReportFailedExitStatus = 1;

// Only plain decimal digits count; a value beyond what Sleep takes short of
// INFINITE is not a delay we honour.
std::optional<DWORD> delay_in_milliseconds(std::wstring_view text) {
  if (text.empty()) return std::nullopt;
  unsigned long long value = 0;
  for (const wchar_t unit : text) {
    if (unit < L'0' || unit > L'9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(unit - L'0');
    if (value >= INFINITE) return std::nullopt;
  }
  return static_cast<DWORD>(value);
}

bool report_to_file(const lbw::standin::Observations& seen) {
  const std::wstring path = lbw::standin::environment_variable(L"LBW_STANDIN_REPORT");
  if (path.empty() || lbw::standin::write_report_file(seen, path)) return true;
  static constexpr char kNote[] = "lirabel-warden stand-in: could not write the report file\n";
  lbw::write_standard_error(kNote, sizeof kNote - 1);
  return false;
}

void report_to_output(const lbw::standin::Observations& seen) {
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (output == nullptr || output == INVALID_HANDLE_VALUE) return;
  lbw::standin::write_summary(seen, output);
}

}  // namespace

int main() {
  const lbw::standin::Observations seen = lbw::standin::observe_start();
  const bool reported = report_to_file(seen);
  report_to_output(seen);
  const std::wstring delay = lbw::standin::environment_variable(L"LBW_STANDIN_SLEEP_MS");
  if (const std::optional<DWORD> milliseconds = delay_in_milliseconds(delay)) {
    Sleep(*milliseconds);
  }
  return reported ? 0 : kReportFailedExitStatus;
}
