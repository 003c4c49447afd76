// Starts the floor programs and the setup program in turn, the way a user's
// shell would, and reports how long each run took and how much memory the
// started process used at its peak.
//
//   bench_runner time|memory ROUNDS BUILD_FOLDER DATA_FOLDER
//
// BUILD_FOLDER holds LirabelWardenTimed.exe and bench\bench_floor*.exe. Each
// round makes a fresh, empty data root under DATA_FOLDER, points LBW_DATA at
// it and runs: the floor programs; the setup program (a first installation);
// the setup program again (equal files); in time mode also `--update` (equal
// files) and the floor that starts the installed application. After a run
// with equal files the installed files must be the very same files,
// unwritten. Two warm-up rounds come first and are not reported. Every result
// is one line "<figure> <case> <value>" on standard output, for bench/run to
// tabulate; a failed check ends the runner with 1.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "installer/unique_handle.h"
#include "shell/win32.h"

// After <windows.h>, which it needs.
#include <psapi.h>

namespace {

using lbw::UniqueFile;
using lbw::UniqueKernelHandle;

constexpr int kWarmUpRounds = 2;
constexpr DWORD kSetupTimeoutMs = 60'000;
constexpr DWORD kLaunchedProgramTimeoutMs = 10'000;
constexpr const wchar_t* kInstalledFiles[] = {L"WebView2Loader.dll", L"lirabel-warden.exe"};

[[noreturn]] void fail(const char* what, DWORD code = GetLastError()) {
  std::printf("error %s (code %lu)\n", what, code);
  std::exit(1);
}

double milliseconds_between(const LARGE_INTEGER& start, const LARGE_INTEGER& end) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
         static_cast<double>(frequency.QuadPart);
}

struct RunFigures {
  double milliseconds = 0;
  // Largest values seen while the process ran (memory runs only). Wine reads
  // them from /proc/<pid>/status: the peak working set is VmHWM, the kernel's
  // own high-water mark of resident memory, so the last sample holds the true
  // peak; private bytes (RssAnon + VmSwap) are a current value, sampled.
  SIZE_T peak_working_set = 0;
  SIZE_T peak_private_bytes = 0;
  DWORD exit_code = 0;
  DWORD processes = 0;  // the started process and every process it started
};

// Whether the system still answers GetProcessMemoryInfo for an ended process;
// found out on the first run and reported once.
bool g_ended_process_asked = false;

void ask_ended_process(HANDLE process) {
  if (g_ended_process_asked) return;
  g_ended_process_asked = true;
  PROCESS_MEMORY_COUNTERS counters{};
  if (GetProcessMemoryInfo(process, &counters, sizeof counters)) {
    std::printf("ended_process_memory_info answered %zu\n", counters.PeakWorkingSetSize);
  } else {
    std::printf("ended_process_memory_info refused %lu\n", GetLastError());
  }
}

void sample_memory(HANDLE process, RunFigures& figures) {
  PROCESS_MEMORY_COUNTERS counters{};
  if (!GetProcessMemoryInfo(process, &counters, sizeof counters)) return;  // ending
  figures.peak_working_set = std::max(figures.peak_working_set, counters.PeakWorkingSetSize);
  figures.peak_private_bytes = std::max(figures.peak_private_bytes, counters.PagefileUsage);
}

// Waits until every process in the job has ended: the application that the
// setup program started (and does not wait for) must not run into the next
// measured run.
// Returns how many processes the job has had.
DWORD wait_for_empty_job(HANDLE job) {
  for (DWORD waited = 0; waited < kLaunchedProgramTimeoutMs; waited += 5) {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
    if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting,
                                   sizeof accounting, nullptr)) {
      fail("querying the job");
    }
    if (accounting.ActiveProcesses == 0) return accounting.TotalProcesses;
    Sleep(5);
  }
  fail("a started program did not end", 0);
}

// Starts `program` with `arguments` and this process's environment, without
// standard handles (as from a desktop), in a job of its own; times it from
// the call that creates it to its end. Processes it starts join the job and
// are waited for afterwards, outside the time.
RunFigures run(const std::wstring& program, std::wstring_view arguments, bool sample) {
  std::wstring command_line = L"\"" + program + L"\"";
  if (!arguments.empty()) command_line.append(L" ").append(arguments);
  UniqueKernelHandle job(CreateJobObjectW(nullptr, nullptr));
  if (!job) fail("creating a job");
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;  // all three null
  PROCESS_INFORMATION started{};

  RunFigures figures;
  LARGE_INTEGER start;
  LARGE_INTEGER end;
  QueryPerformanceCounter(&start);
  if (!CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                      CREATE_SUSPENDED, nullptr, nullptr, &startup, &started)) {
    fail("starting a program");
  }
  UniqueKernelHandle process(started.hProcess);
  UniqueKernelHandle thread(started.hThread);
  if (!AssignProcessToJobObject(job.borrow(), process.borrow())) fail("assigning the job");
  ResumeThread(thread.borrow());
  DWORD waited;
  if (sample) {
    do {
      sample_memory(process.borrow(), figures);
    } while ((waited = WaitForSingleObject(process.borrow(), 1)) == WAIT_TIMEOUT);
  } else {
    waited = WaitForSingleObject(process.borrow(), kSetupTimeoutMs);
  }
  QueryPerformanceCounter(&end);
  if (waited != WAIT_OBJECT_0) fail("a program did not end", waited);
  figures.milliseconds = milliseconds_between(start, end);
  GetExitCodeProcess(process.borrow(), &figures.exit_code);
  ask_ended_process(process.borrow());
  figures.processes = wait_for_empty_job(job.borrow());
  return figures;
}

// What tells an installed file apart from a rewritten one.
struct FileState {
  FILETIME creation{};
  FILETIME last_write{};
  ULONGLONG index = 0;
  ULONGLONG size = 0;

  bool operator==(const FileState& other) const {
    return CompareFileTime(&creation, &other.creation) == 0 &&
           CompareFileTime(&last_write, &other.last_write) == 0 && index == other.index &&
           size == other.size;
  }
};

// Opens for attributes only, which changes none of them.
FileState state_of(const std::wstring& path) {
  UniqueFile file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr));
  if (!file) fail("an installed file is missing");
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(file.borrow(), &information)) fail("reading a file's times");
  FileState state;
  state.creation = information.ftCreationTime;
  state.last_write = information.ftLastWriteTime;
  state.index = (ULONGLONG{information.nFileIndexHigh} << 32) | information.nFileIndexLow;
  state.size = (ULONGLONG{information.nFileSizeHigh} << 32) | information.nFileSizeLow;
  return state;
}

// The names in a folder, without "." and "..".
std::vector<std::wstring> names_in(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

// The installed files' states; also checks that nothing else (no staging
// file) is left in the install folder.
std::vector<FileState> installed_states(const std::wstring& install_folder) {
  if (names_in(install_folder).size() != std::size(kInstalledFiles)) {
    fail("the install folder holds other files than the two installed ones", 0);
  }
  std::vector<FileState> states;
  for (const wchar_t* name : kInstalledFiles) {
    states.push_back(state_of(install_folder + L"\\" + name));
  }
  return states;
}

void remove_data_root(const std::wstring& root) {
  const std::wstring install_folder = root + L"\\programm";
  for (const std::wstring& name : names_in(install_folder)) {
    DeleteFileW((install_folder + L"\\" + name).c_str());
  }
  RemoveDirectoryW(install_folder.c_str());
  RemoveDirectoryW(root.c_str());
}

// Checks how the run ended and how many processes it had (2: it started the
// application, which was then waited for), then prints its figure.
void report(const char* case_name, const RunFigures& figures, bool sample, DWORD processes) {
  if (figures.exit_code != 0) fail(case_name, figures.exit_code);
  if (figures.processes != processes) {
    fail("a run started an unexpected number of processes", figures.processes);
  }
  if (sample) {
    std::printf("peak_working_set %s %zu\n", case_name, figures.peak_working_set);
    std::printf("peak_private_bytes %s %zu\n", case_name, figures.peak_private_bytes);
  } else {
    std::printf("time_ms %s %.3f\n", case_name, figures.milliseconds);
  }
}

struct Plan {
  bool memory = false;
  int rounds = 0;
  std::wstring build_folder;
  std::wstring data_folder;
};

void run_round(const Plan& plan, int round, bool reported) {
  const std::wstring root = plan.data_folder + L"\\round-" + std::to_wstring(round);
  remove_data_root(root);
  if (!CreateDirectoryW(root.c_str(), nullptr)) fail("creating a data root");
  SetEnvironmentVariableW(L"LBW_DATA", root.c_str());
  const std::wstring install_folder = root + L"\\programm";
  const std::wstring floors = plan.build_folder + L"\\bench\\";
  const std::wstring setup = plan.build_folder + L"\\LirabelWardenTimed.exe";
  const bool sample = plan.memory;

  const RunFigures floor = run(floors + L"bench_floor.exe", L"", sample);
  const RunFigures floor_user32 = run(floors + L"bench_floor_user32.exe", L"", sample);
  const RunFigures first = run(setup, L"", sample);
  const std::vector<FileState> installed = installed_states(install_folder);
  const RunFigures second = run(setup, L"", sample);
  if (installed_states(install_folder) != installed) fail("a second run wrote a file", 0);
  RunFigures update;
  RunFigures floor_launch;
  if (!plan.memory) {
    update = run(setup, L"--update", sample);
    if (installed_states(install_folder) != installed) fail("an update-mode run wrote a file", 0);
    const std::wstring application = install_folder + L"\\lirabel-warden.exe";
    SetEnvironmentVariableW(L"LBW_BENCH_APPLICATION", application.c_str());
    floor_launch = run(floors + L"bench_floor_launch.exe", L"", sample);
  }
  remove_data_root(root);
  if (!reported) return;
  report("floor", floor, sample, 1);
  report("floor_user32", floor_user32, sample, 1);
  report("first", first, sample, 2);
  report("second", second, sample, 2);
  if (plan.memory) return;
  report("update", update, sample, 2);
  report("floor_launch", floor_launch, sample, 2);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 5 || (std::wstring(argv[1]) != L"time" && std::wstring(argv[1]) != L"memory")) {
    std::fputs("usage: bench_runner time|memory ROUNDS BUILD_FOLDER DATA_FOLDER\n", stderr);
    return 2;
  }
  const Plan plan{.memory = std::wstring(argv[1]) == L"memory",
                  .rounds = std::max(1, _wtoi(argv[2])),
                  .build_folder = argv[3],
                  .data_folder = argv[4]};
  CreateDirectoryW(plan.data_folder.c_str(), nullptr);  // may exist
  // Nothing the stand-in application reads may make it linger or write.
  SetEnvironmentVariableW(L"LBW_STANDIN_SLEEP_MS", nullptr);
  SetEnvironmentVariableW(L"LBW_STANDIN_REPORT", nullptr);
  for (int round = 0; round < kWarmUpRounds + plan.rounds; ++round) {
    run_round(plan, round, round >= kWarmUpRounds);
  }
  // Every check passed: equal files were left alone, and the started
  // application ended before the next run began.
  std::printf("checked rounds %d\n", plan.rounds);
  return 0;
}
