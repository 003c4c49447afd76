// Starting the installed application and letting go of it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "installer/result.h"

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
// its drive's). A name of 248 units or more with its terminator is resolved
// and given the long-path prefix, and one longer than the system takes is
// refused.
OsResult<std::wstring> application_name_of(std::wstring_view path);

// The command line of the application: the path in double quotes exactly as
// given, then one blank and each argument.
std::wstring application_command_line(std::wstring_view application_path,
                                      const std::vector<std::wstring>& arguments);

}  // namespace lbw
