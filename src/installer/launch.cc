// Starting the installed application: its name, command line and working
// folder, and the one CreateProcessW call.
#include "installer/launch.h"

#include "installer/command_line.h"
#include "installer/file_system.h"
#include "installer/messages.h"
#include "installer/paths.h"
#include "installer/standard_handles.h"
#include "installer/unique_handle.h"
#include "shell/win32.h"

namespace lbw {
namespace {

constexpr std::wstring_view kVerbatimPrefix = L"\\\\?\\";
constexpr std::wstring_view kVerbatimUncPrefix = L"\\\\?\\UNC\\";
// The part of a long-path-form path that would name the same file without
// the prefix (two backslashes in place of \\?\UNC\); empty when there is no prefix.
std::wstring without_verbatim_prefix(std::wstring_view path) {
  if (path.starts_with(kVerbatimUncPrefix)) {
    return std::wstring(L"\\\\").append(path.substr(kVerbatimUncPrefix.size()));
  }
  if (path.starts_with(kVerbatimPrefix)) return std::wstring(path.substr(kVerbatimPrefix.size()));
  return {};
}

// The long-path form loses its prefix where the rest is already a full path
// that the system reads the same way; a path without the prefix stays.
OsResult<std::wstring> drop_redundant_prefix(std::wstring_view path) {
  if (!path.starts_with(kVerbatimPrefix)) return std::wstring(path);
  std::wstring rest = without_verbatim_prefix(path);
  OsResult<std::wstring> full = full_path_of(rest);
  if (!full.ok()) return full.error();
  return full.value() == rest ? rest : std::wstring(path);
}

// The same, keeping the path as it is where the system can't resolve it.
std::wstring without_redundant_prefix(std::wstring_view path) {
  OsResult<std::wstring> shorter = drop_redundant_prefix(path);
  return shorter.ok() ? shorter.value() : std::wstring(path);
}

// The folder the application is started in (see working_folder_for_start).
std::wstring working_folder_of(std::wstring_view folder) {
  std::wstring given = without_redundant_prefix(folder);
  OsResult<std::wstring> full = full_path_of(given);
  if (!full.ok() || fits_as_current_folder(full.value())) return given;
  OsResult<std::wstring> short_path = short_path_of(folder);
  const std::wstring short_form =
      short_path.ok() ? without_redundant_prefix(short_path.value()) : std::wstring();
  return working_folder_for_start(std::move(given), full.value(), short_form);
}

// While inheritable copies of the standard handles exist, no other process
// may be created, or it would inherit them too. The installer has one thread,
// so this lock is never contended; it keeps the rule true if that changes.
SRWLOCK g_process_creation_lock = SRWLOCK_INIT;

class ProcessCreationLock {
 public:
  ProcessCreationLock() { AcquireSRWLockExclusive(&g_process_creation_lock); }
  ~ProcessCreationLock() { ReleaseSRWLockExclusive(&g_process_creation_lock); }
  ProcessCreationLock(const ProcessCreationLock&) = delete;
  ProcessCreationLock& operator=(const ProcessCreationLock&) = delete;
};

// Creates the process with copies of the standard handles as its own and as
// the only handles it inherits; they, the lock and the new process's handles
// are let go before this returns.
OsResult<> create_process(const std::wstring& name, std::wstring& command_line,
                          const std::wstring& working_folder) {
  if (command_line.size() > kLongestSystemText) return os_error(ERROR_FILENAME_EXCED_RANGE);
  ProcessCreationLock lock;
  StandardHandleCopies copies;
  if (OsResult<> made = copies.make(); !made.ok()) return made;
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup.StartupInfo;
  copies.hand_to(startup);
  const DWORD flags =
      CREATE_UNICODE_ENVIRONMENT | (copies.any() ? EXTENDED_STARTUPINFO_PRESENT : 0);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(name.c_str(), command_line.data(), nullptr, nullptr, copies.any(), flags,
                      nullptr, working_folder.c_str(), &startup.StartupInfo, &process)) {
    return os_error(GetLastError());
  }
  // Nothing of the new process is kept: the installer does not wait for it.
  UniqueKernelHandle process_handle(process.hProcess);
  UniqueKernelHandle thread_handle(process.hThread);
  process_handle.reset();
  thread_handle.reset();
  return {};
}

OsResult<> start(std::wstring_view application_path, const std::vector<std::wstring>& arguments,
                 std::wstring_view install_folder) {
  OsResult<std::wstring> name = application_name_of(application_path);
  if (!name.ok()) return name.error();
  std::wstring command_line = application_command_line(application_path, arguments);
  return create_process(name.value(), command_line, working_folder_of(install_folder));
}

}  // namespace

OsResult<std::wstring> application_name_of(std::wstring_view path) {
  const bool verbatim_drive = path.starts_with(kVerbatimPrefix) && path.size() >= 7 &&
                              is_drive_letter(path[4]) && path[5] == L':' && path[6] == L'\\';
  OsResult<std::wstring> name = std::wstring(path);
  if (verbatim_drive || path.starts_with(kVerbatimUncPrefix)) {
    name = drop_redundant_prefix(path);
  } else if (path.starts_with(kVerbatimPrefix) || path.starts_with(L"\\??\\")) {
    // passed as it is
  } else if (!(path.size() >= 3 && is_drive_letter(path[0]) && path[1] == L':' &&
               is_separator(path[2])) &&
             !(path.size() >= 2 && is_separator(path[0]) && is_separator(path[1]))) {
    name = full_path_of(path);  // relative to the current folder or to a drive's
  }
  // A name this long only reaches the file in the long-path form, which the
  // system takes literally: it is resolved first, as file operations do.
  if (name.ok() && !fits_in_max_path(name.value())) return system_path(name.value());
  return name;
}

bool fits_as_current_folder(std::wstring_view full_folder) {
  const bool ends_in_backslash = !full_folder.empty() && full_folder.back() == L'\\';
  return full_folder.size() + (ends_in_backslash ? 0 : 1) < MAX_PATH;
}

std::wstring working_folder_for_start(std::wstring given, std::wstring_view full_folder,
                                      std::wstring_view short_form) {
  if (fits_as_current_folder(full_folder)) return given;
  if (!short_form.empty() && fits_as_current_folder(short_form)) return std::wstring(short_form);
  return given;
}

std::wstring application_command_line(std::wstring_view application_path,
                                      const std::vector<std::wstring>& arguments) {
  std::wstring command_line = L"\"";
  command_line.append(application_path).append(L"\"");
  for (const std::wstring& argument : arguments) {
    command_line += L' ';
    append_argument(command_line, argument);
  }
  return command_line;
}

Status launch_application(std::wstring_view application_path,
                          const std::vector<std::wstring>& arguments,
                          std::wstring_view install_folder) {
  OsResult<> started = start(application_path, arguments, install_folder);
  if (!started.ok()) return messages::error(messages::kNotStarted, error_text_of(started.error()));
  return {};
}

}  // namespace lbw
