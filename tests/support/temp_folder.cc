#include "support/temp_folder.h"

#include <atomic>

#include "shell/win32.h"
#include "support/files.h"

namespace lbw::test {

TempFolder::TempFolder() {
  wchar_t base[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, base);
  static std::atomic<unsigned> counter{0};
  for (;;) {
    path_ = std::wstring(base, length) + L"lbw-test-" + std::to_wstring(GetCurrentProcessId()) +
            L"-" + std::to_wstring(counter++);
    if (CreateDirectoryW(path_.c_str(), nullptr)) return;
    if (GetLastError() != ERROR_ALREADY_EXISTS) {
      ADD_FAILURE() << "cannot create a temporary folder, error " << GetLastError();
      return;
    }
  }
}

TempFolder::~TempFolder() { remove_tree(path_); }

std::wstring TempFolder::operator/(std::wstring_view name) const {
  return path_ + L"\\" + std::wstring(name);
}

}  // namespace lbw::test
