// Path arithmetic on 16-bit units: joining, parents, staging names, the
// extended-length form.
#include "installer/paths.h"

#include <algorithm>

namespace lbw {
namespace {

bool is_bare_drive(std::wstring_view path) {
  return path.size() == 2 && is_drive_letter(path[0]) && path[1] == L':';
}

// C:\..., C:/... or C: alone, where C is anything but a separator.
bool is_drive_path(std::wstring_view path) {
  return path.size() >= 2 && !is_separator(path[0]) && path[1] == L':' &&
         (path.size() == 2 || is_separator(path[2]));
}

std::size_t end_of_component(std::wstring_view path, std::size_t from) {
  while (from < path.size() && !is_separator(path[from])) ++from;
  return from;
}

// The length of the part of a path that no parent can be taken from: a drive
// (C:), a verbatim or device prefix (\\?\C:, \\?\UNC\server\share, \\.\COM1),
// a share (\\server\share), and the root separator after it.
std::size_t root_length(std::wstring_view path) {
  std::size_t length = 0;
  if (path.starts_with(L"\\\\?\\UNC\\")) {
    length = end_of_component(path, end_of_component(path, 8) + 1);
  } else if (path.starts_with(L"\\\\?\\") || path.starts_with(L"\\??\\") ||
             path.starts_with(L"\\\\.\\")) {
    length = end_of_component(path, 4);
  } else if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
    length = end_of_component(path, end_of_component(path, 2) + 1);
  } else if (path.size() >= 2 && is_drive_letter(path[0]) && path[1] == L':') {
    length = 2;
  }
  length = std::min(length, path.size());
  while (length < path.size() && is_separator(path[length])) ++length;
  return length;
}

}  // namespace

std::wstring join_path(std::wstring_view folder, std::wstring_view name) {
  std::wstring path(folder);
  if (!folder.empty() && !is_separator(folder.back()) && !is_bare_drive(folder)) path += L'\\';
  path += name;
  return path;
}

std::optional<std::wstring_view> parent_folder(std::wstring_view path) {
  const std::size_t root = root_length(path);
  std::size_t end = path.size();
  while (end > root && is_separator(path[end - 1])) --end;   // trailing separators
  while (end > root && !is_separator(path[end - 1])) --end;  // the last component
  while (end > root && is_separator(path[end - 1])) --end;   // separators before it
  if (end == root) return std::nullopt;
  return path.substr(0, end);
}

std::wstring staging_path_of(std::wstring_view target) {
  std::size_t name_start = target.size();
  while (name_start > 0 && !is_separator(target[name_start - 1])) --name_start;
  const std::size_t dot = target.rfind(L'.');
  std::wstring staging;
  if (dot != std::wstring_view::npos && dot > name_start) {
    staging.append(target.substr(0, dot + 1));
  } else {
    staging.append(target).append(L".");
  }
  return staging.append(L"neu");
}

bool needs_extended_form(std::wstring_view path) {
  if (path.starts_with(L"\\\\?\\") || path.starts_with(L"\\??\\")) return false;
  if (path.size() + 1 >= kLegacyPathLimit) return true;
  const bool network = path.size() >= 2 && is_separator(path[0]) && is_separator(path[1]);
  return !is_drive_path(path) && !network;
}

void append_hex(std::wstring& text, std::uint64_t value, int digits) {
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) {
    text += L"0123456789ABCDEF"[(value >> shift) & 0xF];
  }
}

std::wstring extended_form_of_full_path(std::wstring_view full_path) {
  if (full_path.size() >= 3 && full_path[1] == L':' && full_path[2] == L'\\') {
    return std::wstring(L"\\\\?\\").append(full_path);
  }
  if (full_path.starts_with(L"\\\\.\\")) {
    return std::wstring(L"\\\\?\\").append(full_path.substr(4));
  }
  if (full_path.starts_with(L"\\\\?\\") || full_path.starts_with(L"\\??\\")) {
    return std::wstring(full_path);
  }
  if (full_path.starts_with(L"\\\\")) {
    return std::wstring(L"\\\\?\\UNC\\").append(full_path.substr(2));
  }
  return std::wstring(full_path);
}

}  // namespace lbw
