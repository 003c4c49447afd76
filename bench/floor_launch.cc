// A do-nothing GUI program that, like the setup program's last step, starts
// the program named by LBW_BENCH_APPLICATION (in its own folder) and lets go
// of it at once. Beside floor_user32 it shows what starting the application
// costs the setup program.
#include <string>

#include "shell/win32.h"

int main(int argc, char**) {
  if (argc < 0) MessageBoxW(nullptr, L"", L"", MB_OK);  // never runs; the import is the point
  wchar_t path[MAX_PATH];
  const DWORD length = GetEnvironmentVariableW(L"LBW_BENCH_APPLICATION", path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return 2;
  const std::wstring application(path, length);
  const std::wstring folder = application.substr(0, application.rfind(L'\\'));
  std::wstring command_line = L"\"" + application + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  if (!CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                      CREATE_UNICODE_ENVIRONMENT, nullptr, folder.c_str(), &startup, &started)) {
    return 3;
  }
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);
  return 0;
}
