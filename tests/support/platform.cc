#include "support/platform.h"

#include "shell/win32.h"
#include "support/files.h"

namespace lbw::test {
namespace {

// The folder of the running test program, with a separator at its end.
std::wstring program_folder() {
  std::wstring path(32768, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return path.substr(0, path.find_last_of(L'\\') + 1);
}

}  // namespace

bool running_under_wine() {
  static const bool wine =
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  return wine;
}

bool running_from_test_bundle() {
  static const bool bundled = exists(program_folder() + L"test-bundle.txt");
  return bundled;
}

std::wstring test_file(std::string_view host_path) {
  if (!running_from_test_bundle()) return wine_path(host_path);
  const std::string_view name = host_path.substr(host_path.find_last_of('/') + 1);
  return program_folder() + std::wstring(name.begin(), name.end());
}

}  // namespace lbw::test
