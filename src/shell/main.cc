// Process entry: the little that is set up before the run, and the exit after it.
#include "installer/run_installer.h"
#include "shell/fault.h"
#include "shell/win32.h"

// The runtime's start-up must not expand wildcards in the arguments: the
// installer reads its command line itself, and globbing would touch the disk.
extern "C" {
int _dowildcard = 0;
}

namespace {

constexpr DWORD kStackOverflow = 0xC00000FD;
constexpr ULONG kStackReserveForFaults = 0x5000;

// A stack overflow is reported, then the process ends at once with the
// overflow's own status. Left to the system, the unhandled exception goes to
// Windows Error Reporting, which may show its "stopped working" box and hold
// the process until someone closes it, or to the debugger named under AeDebug,
// which may ask whether to debug: either way a run started by the updater
// would hang. (Wine 10 tries to start its debugger there and ends the process
// with 1; Wine 8 reported 0.) Every other exception passes untouched.
LONG CALLBACK on_exception(EXCEPTION_POINTERS* exception) {
  if (exception->ExceptionRecord->ExceptionCode != kStackOverflow) return EXCEPTION_CONTINUE_SEARCH;
  lbw::report_stack_overflow();
  TerminateProcess(GetCurrentProcess(), kStackOverflow);
  return EXCEPTION_CONTINUE_SEARCH;  // not reached
}

// SetThreadDescription exists from Windows 10 1607 on; elsewhere the thread
// simply stays unnamed.
void name_main_thread() {
  using SetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  HMODULE kernel32 = GetModuleHandleA("kernel32");
  if (kernel32 == nullptr) return;
  auto set_description = reinterpret_cast<SetThreadDescriptionFn>(
      reinterpret_cast<void*>(GetProcAddress(kernel32, "SetThreadDescription")));
  if (set_description != nullptr) set_description(GetCurrentThread(), L"main");
}

// Nor any image from a network share or with a low mandatory label, and a
// system DLL wins over one of the same name elsewhere. Applies to this process
// only; a system that refuses the policy simply keeps the default.
void restrict_image_loads() {
  PROCESS_MITIGATION_IMAGE_LOAD_POLICY policy{};
  policy.NoRemoteImages = 1;
  policy.NoLowMandatoryLabelImages = 1;
  policy.PreferSystem32Images = 1;
  SetProcessMitigationPolicy(ProcessImageLoadPolicy, &policy, sizeof policy);
}

}  // namespace

int main() {
  // No DLL planted beside the downloaded setup file or in the current folder
  // may ever be loaded: only the system folder is searched.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  restrict_image_loads();
  AddVectoredExceptionHandler(0, on_exception);
  ULONG reserve = kStackReserveForFaults;
  SetThreadStackGuarantee(&reserve);
  name_main_thread();

  lbw::run_installer();
  return 0;  // the runtime's exit: its handlers run, then the process ends with 0
}
