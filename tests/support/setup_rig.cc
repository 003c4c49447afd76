#include "support/setup_rig.h"

#include <initializer_list>

#include "support/files.h"
#include "support/platform.h"

namespace lbw::test {
namespace {

std::wstring window_text(HWND window) {
  wchar_t text[4096] = {};
  GetWindowTextW(window, text, 4096);
  return text;
}

std::wstring class_of(HWND window) {
  wchar_t name[256] = {};
  GetClassNameW(window, name, 256);
  return name;
}

struct Search {
  DWORD process_id;
  std::vector<HWND> boxes;
};

BOOL CALLBACK collect_box(HWND window, LPARAM context) {
  auto& search = *reinterpret_cast<Search*>(context);
  DWORD owner_process = 0;
  GetWindowThreadProcessId(window, &owner_process);
  if (owner_process == search.process_id && class_of(window) == L"#32770" &&
      IsWindowVisible(window)) {
    search.boxes.push_back(window);
  }
  return TRUE;
}

// The pixels of an icon's colour and mask images; empty where the icon can't
// be read.
std::vector<LONG> image_of(HICON icon) {
  ICONINFO parts{};
  if (!GetIconInfo(icon, &parts)) return {};
  std::vector<LONG> image;
  HDC screen = GetDC(nullptr);
  for (HBITMAP bitmap : {parts.hbmColor, parts.hbmMask}) {
    BITMAP size{};
    if (GetObjectW(bitmap, sizeof size, &size) == 0) continue;  // no colour image
    BITMAPINFO format{};
    format.bmiHeader.biSize = sizeof format.bmiHeader;
    format.bmiHeader.biWidth = size.bmWidth;
    format.bmiHeader.biHeight = size.bmHeight;
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    const std::size_t start = image.size();
    image.resize(start + size.bmWidth * size.bmHeight);
    GetDIBits(screen, bitmap, 0, size.bmHeight, &image[start], &format, DIB_RGB_COLORS);
    DeleteObject(bitmap);
  }
  ReleaseDC(nullptr, screen);
  return image;
}

std::string icon_of(HWND icon_control) {
  const std::vector<LONG> image =
      image_of(reinterpret_cast<HICON>(SendMessageW(icon_control, STM_GETICON, 0, 0)));
  if (image.empty()) return "unreadable";
  return image == image_of(LoadIconW(nullptr, IDI_ERROR)) ? "stop" : "other";
}

BOOL CALLBACK inspect_child(HWND child, LPARAM context) {
  auto& dialog = *reinterpret_cast<Dialog*>(context);
  if (!IsWindowVisible(child)) return TRUE;
  const std::wstring kind = class_of(child);
  const LONG style = GetWindowLongW(child, GWL_STYLE);
  if (kind == L"Button" && (style & 0xF) <= BS_DEFPUSHBUTTON) {
    if (dialog.buttons++ == 0) dialog.button_text = window_text(child);
  } else if (kind == L"Static" && (style & SS_TYPEMASK) == SS_ICON) {
    dialog.icon = icon_of(child);
  }
  return TRUE;
}

Dialog read_box(HWND box) {
  Dialog dialog;
  dialog.caption = window_text(box);
  wchar_t text[4096] = {};
  GetDlgItemTextW(box, 0xFFFF, text, 4096);  // the message text's static control
  dialog.text = text;
  dialog.has_owner = GetWindow(box, GW_OWNER) != nullptr;
  EnumChildWindows(box, inspect_child, reinterpret_cast<LPARAM>(&dialog));
  return dialog;
}

double seconds_since(LARGE_INTEGER start) {
  LARGE_INTEGER now;
  LARGE_INTEGER frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart - start.QuadPart) / frequency.QuadPart;
}

}  // namespace

std::wstring setup_program() { return test_file(LBW_SETUP_EXE); }
std::wstring shell_probe_program() { return test_file(LBW_SHELL_PROBE_EXE); }
std::wstring standin_app_program() { return test_file(LBW_STANDIN_APP_EXE); }

std::vector<Dialog> answer_boxes(DWORD process_id, std::set<HWND>& answered) {
  Search search{process_id, {}};
  EnumWindows(collect_box, reinterpret_cast<LPARAM>(&search));
  std::vector<Dialog> dialogs;
  for (HWND box : search.boxes) {
    if (!answered.insert(box).second) continue;
    dialogs.push_back(read_box(box));
    PostMessageW(box, WM_COMMAND, IDOK, 0);
  }
  return dialogs;
}

SetupRun run_setup(const SetupOptions& options) { return run_setups_together({options}).front(); }

std::vector<SetupRun> run_setups_together(const std::vector<SetupOptions>& all_options) {
  std::vector<SetupRun> runs(all_options.size());
  std::vector<Process> processes;
  for (const SetupOptions& options : all_options) {
    StartOptions start;
    start.program = options.program;
    start.command_line = quoted_path(options.program);
    if (!options.arguments.empty()) start.command_line += L" " + options.arguments;
    start.environment = options.environment;
    start.working_folder = options.working_folder;
    start.handles = options.handles;
    start.suspended = true;
    processes.push_back(start_process(start));
    if (!processes.back().started()) return runs;
  }
  LARGE_INTEGER started;
  QueryPerformanceCounter(&started);
  for (Process& process : processes) process.resume();
  std::set<HWND> answered;
  for (std::size_t left = processes.size(); left > 0;) {
    left = 0;
    for (std::size_t i = 0; i < processes.size(); ++i) {
      SetupRun& run = runs[i];
      if (run.finished || run.seconds * 1000 > all_options[i].timeout_ms) continue;
      const bool ended = processes[i].wait(10 / processes.size());
      run.seconds = seconds_since(started);
      for (const Dialog& box : answer_boxes(processes[i].id(), answered))
        run.dialogs.push_back(box);
      if (ended) {
        run.finished = true;
        run.exit_code = processes[i].exit_code();
      } else if (run.seconds * 1000 > all_options[i].timeout_ms) {
        processes[i].kill();
      } else {
        ++left;
      }
    }
  }
  return runs;
}

}  // namespace lbw::test
