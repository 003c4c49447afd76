// Common ground of the tests that run the built setup program: a fresh folder
// with the data root (LBW_DATA) inside it, and the stand-in's report file.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "support/files.h"
#include "support/platform.h"
#include "support/setup_rig.h"
#include "support/standin_report.h"
#include "support/temp_folder.h"

namespace lbw::test {

class SetupTest : public TempFolderTest {
 protected:
  std::wstring data_root() const { return temp_ / L"data"; }
  std::wstring install_folder() const { return temp_ / L"data\\programm"; }
  std::wstring application_path() const { return install_folder() + L"\\lirabel-warden.exe"; }
  std::wstring loader_path() const { return install_folder() + L"\\WebView2Loader.dll"; }
  std::wstring report_path() const { return temp_ / L"report.bin"; }

  // A run that installs into data_root() and has the application report to report_path().
  SetupOptions options() const {
    SetupOptions options;
    options.environment.set(L"LBW_DATA", data_root());
    options.environment.set(L"LBW_STANDIN_REPORT", report_path());
    return options;
  }

  static Bytes loader_bytes() { return *read_file(test_file(LBW_LOADER_FILE)); }
  static Bytes app_bytes() { return *read_file(test_file(LBW_APP_FILE)); }

  // The run ended normally after showing exactly one error box with this text.
  static void expect_one_error_box(const SetupRun& run, std::string_view utf8_text) {
    ASSERT_TRUE(run.finished) << "the setup program did not end";
    EXPECT_EQ(run.exit_code, 0u);
    ASSERT_EQ(run.dialogs.size(), 1u);
    const Dialog& box = run.dialogs.front();
    EXPECT_EQ(box.caption, L"Lirabel Warden");
    EXPECT_EQ(box.text, wide(utf8_text));
    EXPECT_EQ(box.buttons, 1);
    EXPECT_EQ(box.button_text, L"OK");
    // Under Wine the icon of another process can't be read; the error dialog's
    // own test reads it in its process.
    EXPECT_TRUE(box.icon == "stop" || (box.icon == "unreadable" && running_under_wine()))
        << box.icon;
    EXPECT_FALSE(box.has_owner);
  }

  static void expect_success(const SetupRun& run) {
    ASSERT_TRUE(run.finished) << "the setup program did not end";
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_TRUE(run.dialogs.empty()) << "unexpected box: " << narrow(run.dialogs.front().text);
  }

  static std::wstring wide(std::string_view utf8) {
    std::wstring text(utf8.size(), L'\0');
    text.resize(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                    text.data(), static_cast<int>(text.size())));
    return text;
  }
  static std::string narrow(std::wstring_view text) {
    std::string utf8(text.size() * 3, '\0');
    utf8.resize(WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                    utf8.data(), static_cast<int>(utf8.size()), nullptr, nullptr));
    return utf8;
  }
};

}  // namespace lbw::test
