#include "support/process.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <utility>

namespace lbw::test {
namespace {

std::wstring name_of(std::wstring_view entry) {
  return std::wstring(entry.substr(0, entry.find(L'=', 1)));
}

bool same_name(std::wstring_view a, std::wstring_view b) {
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

HANDLE inheritable_copy(DWORD which) {
  HANDLE copy = nullptr;
  const HANDLE original = GetStdHandle(which);
  if (original == nullptr || original == INVALID_HANDLE_VALUE) return nullptr;
  DuplicateHandle(GetCurrentProcess(), original, GetCurrentProcess(), &copy, 0, TRUE,
                  DUPLICATE_SAME_ACCESS);
  return copy;
}

HANDLE open_inheritable(const std::wstring& path, bool for_input) {
  if (path.empty()) return nullptr;
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE file = CreateFileW(path.c_str(), for_input ? GENERIC_READ : FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inheritable,
                            for_input ? OPEN_EXISTING : OPEN_ALWAYS, 0, nullptr);
  EXPECT_NE(file, INVALID_HANDLE_VALUE) << "cannot open a standard handle file";
  return file == INVALID_HANDLE_VALUE ? nullptr : file;
}

}  // namespace

Environment Environment::minimal() {
  Environment environment;
  for (const wchar_t* name : {L"SystemRoot", L"SystemDrive", L"windir", L"PATH", L"PATHEXT",
                              L"TEMP", L"TMP", L"USERPROFILE", L"USERNAME", L"ComSpec"}) {
    wchar_t value[32768];
    const DWORD length = GetEnvironmentVariableW(name, value, 32768);
    if (length > 0 && length < 32768) environment.set(name, std::wstring_view(value, length));
  }
  return environment;
}

Environment Environment::current() {
  Environment environment;
  wchar_t* block = GetEnvironmentStringsW();
  for (const wchar_t* entry = block; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
    // Entries such as "=C:=C:\\" hold the current folders of drives; keep them.
    environment.entries_.push_back(entry);
  }
  FreeEnvironmentStringsW(block);
  return environment;
}

Environment& Environment::set(std::wstring_view name, std::wstring_view value) {
  unset(name);
  entries_.push_back(std::wstring(name) + L"=" + std::wstring(value));
  return *this;
}

Environment& Environment::unset(std::wstring_view name) {
  std::erase_if(entries_,
                [&](const std::wstring& entry) { return same_name(name_of(entry), name); });
  return *this;
}

std::wstring Environment::block() const {
  std::wstring block;
  for (const std::wstring& entry : entries_) block.append(entry).push_back(L'\0');
  block.push_back(L'\0');
  return block;
}

Process::Process(Process&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)),
      thread_(std::exchange(other.thread_, nullptr)),
      id_(other.id_) {}

Process& Process::operator=(Process&& other) noexcept {
  Process old(std::move(*this));
  handle_ = std::exchange(other.handle_, nullptr);
  thread_ = std::exchange(other.thread_, nullptr);
  id_ = other.id_;
  return *this;
}

Process::~Process() {
  if (thread_ != nullptr) CloseHandle(thread_);
  if (handle_ == nullptr) return;
  if (!wait(0)) kill();
  CloseHandle(handle_);
}

void Process::resume() { ResumeThread(thread_); }

bool Process::wait(DWORD milliseconds) const {
  return WaitForSingleObject(handle_, milliseconds) == WAIT_OBJECT_0;
}

DWORD Process::exit_code() const {
  DWORD code = 0;
  GetExitCodeProcess(handle_, &code);
  return code;
}

void Process::kill() {
  TerminateProcess(handle_, 1);
  WaitForSingleObject(handle_, 10'000);
}

Process start_process(const StartOptions& options) {
  std::wstring command_line =
      options.command_line.empty() ? quoted_path(options.program) : options.command_line;
  const std::optional<std::wstring> block =
      options.environment ? std::optional(options.environment->block()) : std::nullopt;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  if (options.handles.inherit) {
    startup.hStdInput = inheritable_copy(STD_INPUT_HANDLE);
    startup.hStdOutput = inheritable_copy(STD_OUTPUT_HANDLE);
    startup.hStdError = inheritable_copy(STD_ERROR_HANDLE);
  } else {
    startup.hStdInput = open_inheritable(options.handles.input_file, true);
    startup.hStdOutput = open_inheritable(options.handles.output_file, false);
    startup.hStdError = open_inheritable(options.handles.error_file, false);
  }
  // A started program that crashes must end at once with its status rather than
  // wait in the Windows Error Reporting dialog; programs inherit the error mode.
  SetErrorMode(GetErrorMode() | SEM_NOGPFAULTERRORBOX);
  // Nor may it hold this program's own output open (a log that the test run
  // reads as soon as this program ends): it gets only the handles chosen above.
  for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    SetHandleInformation(GetStdHandle(which), HANDLE_FLAG_INHERIT, 0);
  }
  PROCESS_INFORMATION process{};
  const bool created =
      CreateProcessW(options.program.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                     CREATE_UNICODE_ENVIRONMENT | (options.suspended ? CREATE_SUSPENDED : 0),
                     block ? const_cast<wchar_t*>(block->c_str()) : nullptr,
                     options.working_folder.empty() ? nullptr : options.working_folder.c_str(),
                     &startup, &process);
  const DWORD error = GetLastError();
  for (HANDLE handle : {startup.hStdInput, startup.hStdOutput, startup.hStdError}) {
    if (handle != nullptr) CloseHandle(handle);
  }
  EXPECT_TRUE(created) << "cannot start a program, error " << error;
  if (!created) return {};
  if (!options.suspended) {
    CloseHandle(process.hThread);
    process.hThread = nullptr;
  }
  return Process(process.hProcess, process.dwProcessId, process.hThread);
}

std::wstring quoted_path(std::wstring_view path) { return L"\"" + std::wstring(path) + L"\""; }

}  // namespace lbw::test
