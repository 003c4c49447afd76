// The two ways the stand-in application tells what it saw.
#include <string>

#include "installer/unique_handle.h"
#include "shell/utf8.h"
#include "standin.h"

namespace lbw::standin {
namespace {

// The report's first field; a reader checks it before trusting the rest.
constexpr std::wstring_view kReportHeading = L"lirabel-warden stand-in report 1";

bool write_all(HANDLE file, const void* data, std::size_t size) {
  auto bytes = static_cast<const char*>(data);
  while (size > 0) {
    const DWORD request = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(file, bytes, request, &written, nullptr) || written == 0) return false;
    bytes += written;
    size -= written;
  }
  return true;
}

// Each field is its 16-bit units, untouched, and one zero unit.
void add_field(std::wstring& report, std::wstring_view field) {
  report += field;
  report += L'\0';
}

std::wstring report_fields(const Observations& seen) {
  std::wstring report;
  add_field(report, kReportHeading);
  add_field(report, seen.command_line);
  add_field(report, seen.working_directory);
  add_field(report, seen.module_path);
  add_field(report, decimal(seen.startup_flags));
  for (const std::wstring_view kind : seen.standard_handle_kinds) add_field(report, kind);
  add_field(report, decimal(seen.arguments.size()));
  for (const std::wstring& argument : seen.arguments) add_field(report, argument);
  add_field(report, decimal(seen.environment.size()));
  for (const std::wstring& entry : seen.environment) add_field(report, entry);
  return report;
}

bool write_new_file(const std::wstring& path, const std::wstring& content) {
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  // wchar_t is the 16-bit little-endian unit on this platform, so the bytes
  // in memory are already UTF-16LE.
  return write_all(file.borrow(), content.data(), content.size() * sizeof(wchar_t));
}

// A unit that is half of no pair has no UTF-8 form; it is shown as \u{D800}.
void append_escape(std::string& out, wchar_t unit) {
  constexpr char kHex[] = "0123456789ABCDEF";
  out += "\\u{";
  for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(unit >> shift) & 0xF];
  out += '}';
}

bool is_high_surrogate(wchar_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(wchar_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

std::string to_utf8(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const wchar_t unit = text[i];
    if (is_high_surrogate(unit) && i + 1 < text.size() && is_low_surrogate(text[i + 1])) {
      append_utf8(out, 0x10000 + ((char32_t{unit} - 0xD800) << 10) + (text[++i] - 0xDC00));
    } else if (is_high_surrogate(unit) || is_low_surrogate(unit)) {
      append_escape(out, unit);
    } else {
      append_utf8(out, unit);
    }
  }
  return out;
}

void add_line(std::wstring& text, std::wstring_view label, std::wstring_view value) {
  text += label;
  text += value;
  text += L'\n';
}

std::wstring summary_text(const Observations& seen) {
  std::wstring text = L"Lirabel Warden stand-in application: started.\n";
  add_line(text, L"program: ", seen.module_path);
  add_line(text, L"command line: ", seen.command_line);
  add_line(text, L"arguments: ", decimal(seen.arguments.size()));
  // Brackets show where each argument begins and ends, blanks and all.
  for (const std::wstring& argument : seen.arguments) add_line(text, L"  [", argument + L']');
  add_line(text, L"working directory: ", seen.working_directory);
  const auto& kinds = seen.standard_handle_kinds;
  std::wstring handles = L"input ";
  handles.append(kinds[0]).append(L", output ").append(kinds[1]).append(L", error ");
  add_line(text, L"standard handles: ", handles.append(kinds[2]));
  add_line(text, L"startup flags: ", decimal(seen.startup_flags));
  return text;
}

}  // namespace

bool write_report_file(const Observations& seen, const std::wstring& path) {
  // Written aside and renamed into place, so that a reader waiting for the
  // file never sees half a report.
  const std::wstring part = path + L".part";
  if (write_new_file(part, report_fields(seen)) &&
      MoveFileExW(part.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    return true;
  }
  DeleteFileW(part.c_str());
  return false;
}

void write_summary(const Observations& seen, HANDLE output) {
  const std::string text = to_utf8(summary_text(seen));
  write_all(output, text.data(), text.size());
}

}  // namespace lbw::standin
