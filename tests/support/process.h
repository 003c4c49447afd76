// Starting programs for tests with a chosen environment, command line,
// working folder and standard handles.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shell/win32.h"

namespace lbw::test {

// An environment block under construction: "NAME=value" entries.
class Environment {
 public:
  // The few variables a Windows program needs, taken from this process, and
  // none of the installer's own (LBW_DATA, LOCALAPPDATA).
  static Environment minimal();
  // All of this process's variables.
  static Environment current();

  Environment& set(std::wstring_view name, std::wstring_view value);
  Environment& unset(std::wstring_view name);
  // The block CreateProcessW takes: entries, each ended by a zero, then a zero.
  std::wstring block() const;
  const std::vector<std::wstring>& entries() const { return entries_; }

 private:
  std::vector<std::wstring> entries_;
};

// Which standard handles a started program gets. Each named file is opened
// for appending (input: reading); a handle without a file is null. With
// `inherit`, the program gets this process's own standard handles instead.
struct StandardHandles {
  bool inherit = false;
  std::wstring input_file;
  std::wstring output_file;
  std::wstring error_file;
};

struct StartOptions {
  std::wstring program;
  // The whole raw command line; empty gives the program's path in quotes.
  std::wstring command_line;
  std::optional<Environment> environment;  // none: this process's own
  std::wstring working_folder;             // empty: this process's own
  StandardHandles handles;
  bool suspended = false;  // created with its first thread waiting for resume()
};

// A started process, ended by force if still running when this object ends.
class Process {
 public:
  Process() = default;
  Process(HANDLE process, DWORD id, HANDLE thread = nullptr)
      : handle_(process), thread_(thread), id_(id) {}
  Process(Process&& other) noexcept;
  Process& operator=(Process&& other) noexcept;
  ~Process();

  bool started() const { return handle_ != nullptr; }
  DWORD id() const { return id_; }
  HANDLE handle() const { return handle_; }
  // Waits up to `milliseconds`; true when the process has ended.
  bool wait(DWORD milliseconds) const;
  DWORD exit_code() const;
  void kill();
  // Lets a process started suspended run.
  void resume();

 private:
  HANDLE handle_ = nullptr;
  HANDLE thread_ = nullptr;
  DWORD id_ = 0;
};

Process start_process(const StartOptions& options);

// Quotes a path for the start of a command line.
std::wstring quoted_path(std::wstring_view path);

}  // namespace lbw::test
