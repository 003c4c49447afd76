// Gathers what the stand-in application can see of the way it was started.
#include <iterator>
#include <memory>

#include "installer/command_line.h"
#include "standin.h"

namespace lbw::standin {
namespace {

// Calls fill(buffer, capacity) with a growing buffer until the text fits.
// fill returns the text's length when it fitted, anything not smaller than
// the capacity when it did not, and 0 on failure (the result is then empty).
template <typename Fill>
std::wstring read_growing(DWORD capacity, Fill fill) {
  std::wstring text;
  for (;;) {
    text.resize(capacity);
    const DWORD length = fill(text.data(), capacity);
    if (length < capacity) {
      text.resize(length);
      return text;
    }
    // Some calls report the size they need, others only that it was too small.
    capacity = length > capacity ? length : capacity * 2;
  }
}

std::wstring module_path() {
  return read_growing(MAX_PATH, [](wchar_t* buffer, DWORD capacity) {
    return GetModuleFileNameW(nullptr, buffer, capacity);
  });
}

std::wstring working_directory() {
  return read_growing(MAX_PATH, [](wchar_t* buffer, DWORD capacity) {
    return GetCurrentDirectoryW(capacity, buffer);
  });
}

DWORD startup_flags() {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  GetStartupInfoW(&startup);
  return startup.dwFlags;
}

std::wstring_view handle_kind(DWORD which) {
  const HANDLE handle = GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return L"none";
  switch (GetFileType(handle)) {
    case FILE_TYPE_DISK:
      return L"disk";
    case FILE_TYPE_CHAR:
      return L"char";
    case FILE_TYPE_PIPE:
      return L"pipe";
    default:
      return L"unknown";
  }
}

struct EnvironmentBlockRelease {
  void operator()(wchar_t* block) const { FreeEnvironmentStringsW(block); }
};

// The block is a run of zero-terminated entries, closed by an empty one.
std::vector<std::wstring> environment_entries() {
  std::vector<std::wstring> entries;
  const std::unique_ptr<wchar_t, EnvironmentBlockRelease> block(GetEnvironmentStringsW());
  if (!block) return entries;
  for (const wchar_t* entry = block.get(); *entry != L'\0';) {
    const std::wstring_view text(entry);
    entries.emplace_back(text);
    entry += text.size() + 1;
  }
  return entries;
}

}  // namespace

Observations observe_start() {
  Observations seen;
  // Made, not assigned from the pointer: assigning takes the string library's
  // out-of-line replace path (GCC 14), which the program must not carry.
  seen.command_line = std::wstring(GetCommandLineW());
  seen.arguments = arguments_of_command_line(seen.command_line);
  seen.working_directory = working_directory();
  seen.module_path = module_path();
  seen.startup_flags = startup_flags();
  seen.standard_handle_kinds = {handle_kind(STD_INPUT_HANDLE), handle_kind(STD_OUTPUT_HANDLE),
                                handle_kind(STD_ERROR_HANDLE)};
  seen.environment = environment_entries();
  return seen;
}

std::wstring environment_variable(const wchar_t* name) {
  // An unset variable and an empty one both read as 0, which is all we need.
  return read_growing(64, [name](wchar_t* buffer, DWORD capacity) {
    return GetEnvironmentVariableW(name, buffer, capacity);
  });
}

std::wstring decimal(unsigned long long value) {
  wchar_t digits[24];
  wchar_t* first = digits + std::size(digits);
  do {
    *--first = static_cast<wchar_t>(L'0' + value % 10);
    value /= 10;
  } while (value != 0);
  return std::wstring(first, digits + std::size(digits));
}

}  // namespace lbw::standin
