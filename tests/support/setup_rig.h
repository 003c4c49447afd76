// Runs the built setup program as a user or the updater would, answers every
// message box it shows, and reports what happened.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "support/process.h"

namespace lbw::test {

// The built programs, as Windows paths.
std::wstring setup_program();
std::wstring shell_probe_program();
std::wstring standin_app_program();

// A message box as the user saw it.
struct Dialog {
  std::wstring caption;
  std::wstring text;
  int buttons = 0;           // visible push buttons
  std::wstring button_text;  // the text of the first visible one
  // "stop" (the system's stop icon), "other", "none", or "unreadable": Wine
  // keeps an icon to the process that loaded it (error 1402 elsewhere), where
  // Windows lends every icon to the whole session.
  std::string icon = "none";
  bool has_owner = false;
};

// Reads every message box of the process that is not in `answered`, presses
// its OK and adds it there.
std::vector<Dialog> answer_boxes(DWORD process_id, std::set<HWND>& answered);

struct SetupRun {
  DWORD exit_code = 0;
  std::vector<Dialog> dialogs;
  double seconds = 0;  // from start to the end of the process
  bool finished = false;
};

struct SetupOptions {
  std::wstring program = setup_program();
  // The raw text after the quoted program path, e.g. L"--update \"a b\"".
  std::wstring arguments;
  // The environment: by default a minimal one without LBW_DATA and LOCALAPPDATA.
  Environment environment = Environment::minimal();
  std::wstring working_folder;
  // Standard handles: none at all unless files are named (a desktop start).
  StandardHandles handles;
  DWORD timeout_ms = 60'000;
};

// Starts the program, presses OK in every message box it shows, and waits for
// it to end (killing it after the timeout, with `finished` false).
SetupRun run_setup(const SetupOptions& options);

// The same for several runs released at one moment: all are started
// suspended, then let go together.
std::vector<SetupRun> run_setups_together(const std::vector<SetupOptions>& all_options);

}  // namespace lbw::test
