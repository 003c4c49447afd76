// Starting the installed application and letting go of it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "installer/result.h"
#include "shell/win32.h"

namespace lbw {

// Starts the application at `application_path` with `arguments` (each written
// by append_argument after the quoted path) in `install_folder`, with the
// installer's environment and inheritable copies of its standard handles. Does
// not wait for it. A failed start gives "Warden konnte nicht gestartet
// werden: ..." with the system's text; every handle made here is closed on
// every path.
Status launch_application(std::wstring_view application_path,
                          const std::vector<std::wstring>& arguments,
                          std::wstring_view install_folder);

// The name CreateProcessW starts the application by, always a full path so
// that the program search (PATH, the installer's own folder) never takes part:
// a path in the long-path form loses its prefix where the rest is a full path
// the system reads the same way, and keeps it otherwise; another absolute path
// stays as it is; a relative path is resolved against the current folder (or
// its drive's). A name that does not fit in MAX_PATH units with its terminator
// is resolved and given the long-path prefix, and one longer than the system
// takes is refused.
OsResult<std::wstring> application_name_of(std::wstring_view path);

// Whether a path fits in MAX_PATH units with its terminator, so that the
// system takes it without the long-path prefix.
inline bool fits_in_max_path(std::wstring_view path) { return path.size() < MAX_PATH; }

// Whether a full folder path can be the current folder of a new process:
// CreateProcessW fails where it does not fit in MAX_PATH units with a final
// backslash (added where missing) and the terminator, whatever the prefix.
bool fits_as_current_folder(std::wstring_view full_folder);

// The folder the application is started in: the install folder as `given`
// (without a redundant long-path prefix) where its full path fits as a current
// folder; otherwise its `short_form` (8.3 names, empty where the volume gives
// none) where that fits; otherwise `given`, which the system then refuses with
// its own error.
std::wstring working_folder_for_start(std::wstring given, std::wstring_view full_folder,
                                      std::wstring_view short_form);

// The command line of the application: the path in double quotes exactly as
// given, then one blank and each argument.
std::wstring application_command_line(std::wstring_view application_path,
                                      const std::vector<std::wstring>& arguments);

}  // namespace lbw
