// The wide text that the error dialog hands to the system, the texts it shows,
// and the icon of its box.
#include "installer/error_dialog.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "installer/messages.h"
#include "shell/system_error.h"
#include "shell/utf8.h"
#include "support/setup_rig.h"

namespace lbw {
namespace {

TEST(ToUtf16zTest, GivesTheUnitsThenOneZeroUnit) {
  EXPECT_EQ(
      to_utf16z(messages::kPayloadDamaged),
      std::wstring(L"Die Datei ist besch\u00E4digt. Lade sie bitte noch einmal herunter.", 63));
  EXPECT_EQ(to_utf16z("\x7F\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"),
            std::wstring(L"\x7F\u20AC\xD83D\xDE00\xDBFF\xDFFF", 7));
  EXPECT_EQ(to_utf16z(""), std::wstring(1, L'\0'));
}

TEST(ToUtf16zTest, KeepsEveryMessageWhole) {
  const struct {
    std::string_view text;
    std::size_t bytes;
    std::size_t units;
  } cases[] = {
      {messages::kTitle, 14, 14},
      {messages::kLocalAppDataMissing, 45, 45},
      {messages::kFolderNotCreated, 49, 49},
      {messages::kPayloadDamaged, 63, 62},
      {messages::kOlderVersionRunning, 99, 97},
      {messages::kNotUnpacked, 37, 37},
      {messages::kNotStarted, 38, 38},
  };
  for (const auto& c : cases) {
    const std::wstring wide = to_utf16z(c.text);
    EXPECT_EQ(c.text.size(), c.bytes) << c.text;
    ASSERT_EQ(wide.size(), c.units + 1) << c.text;
    EXPECT_EQ(utf8_of_utf16({wide.data(), c.units}), std::string(c.text));
  }
}

TEST(ShowErrorTest, ShowsTheStopIcon) {
  // In this process, where Wine too lets the rig read the box's icon.
  std::thread shown([] { show_error(messages::kPayloadDamaged); });
  std::set<HWND> answered;
  std::vector<test::Dialog> boxes;
  for (int i = 0; i < 1000 && boxes.empty(); ++i) {
    Sleep(10);
    boxes = test::answer_boxes(GetCurrentProcessId(), answered);
  }
  boxes.empty() ? shown.detach() : shown.join();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].icon, "stop");
}

}  // namespace
}  // namespace lbw
