#include "support/standin_report.h"

#include <cstring>

#include "support/files.h"

namespace lbw::test {
namespace {

class Fields {
 public:
  explicit Fields(std::wstring units) : units_(std::move(units)) {}

  std::optional<std::wstring> next() {
    const std::size_t end = units_.find(L'\0', position_);
    if (end == std::wstring::npos) return std::nullopt;
    std::wstring field = units_.substr(position_, end - position_);
    position_ = end + 1;
    return field;
  }

  bool next_list(std::vector<std::wstring>& items) {
    const std::optional<std::wstring> count = next();
    if (!count) return false;
    for (unsigned long n = std::wcstoul(count->c_str(), nullptr, 10); n > 0; --n) {
      std::optional<std::wstring> item = next();
      if (!item) return false;
      items.push_back(*item);
    }
    return true;
  }

  bool at_end() const { return position_ == units_.size(); }

 private:
  std::wstring units_;
  std::size_t position_ = 0;
};

}  // namespace

std::optional<StandinReport> read_standin_report(const std::wstring& path) {
  const std::optional<Bytes> bytes = read_file(path);
  if (!bytes || bytes->size() % 2 != 0) return std::nullopt;
  std::wstring units(bytes->size() / 2, L'\0');
  std::memcpy(units.data(), bytes->data(), bytes->size());
  Fields fields(std::move(units));
  if (fields.next() != L"lirabel-warden stand-in report 1") return std::nullopt;
  StandinReport report;
  std::optional<std::wstring> flags;
  for (auto* field : {&report.command_line, &report.working_folder, &report.module_path}) {
    std::optional<std::wstring> value = fields.next();
    if (!value) return std::nullopt;
    *field = *value;
  }
  if (!(flags = fields.next())) return std::nullopt;
  report.startup_flags = std::wcstoul(flags->c_str(), nullptr, 10);
  for (auto* field : {&report.input, &report.output, &report.error}) {
    std::optional<std::wstring> value = fields.next();
    if (!value) return std::nullopt;
    *field = *value;
  }
  if (!fields.next_list(report.arguments) || !fields.next_list(report.environment) ||
      !fields.at_end()) {
    return std::nullopt;
  }
  return report;
}

std::optional<StandinReport> wait_for_standin_report(const std::wstring& path, DWORD milliseconds) {
  for (DWORD waited = 0;; waited += 20) {
    if (exists(path)) return read_standin_report(path);
    if (waited >= milliseconds) return std::nullopt;
    Sleep(20);
  }
}

}  // namespace lbw::test
