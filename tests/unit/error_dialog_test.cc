// The wide text that the error dialog hands to the system, and the texts it shows.
#include "installer/error_dialog.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "installer/messages.h"
#include "shell/system_error.h"

namespace lbw {
namespace {

TEST(ToUtf16zTest, GivesOneUnitPerCharacterOfTheDamagedFileTextAndOneZeroUnit) {
  const std::wstring wide = to_utf16z(messages::kPayloadDamaged);
  ASSERT_EQ(wide.size(), 63u);  // 62 units and the zero unit
  EXPECT_EQ(wide.back(), L'\0');
  EXPECT_EQ(wide, std::wstring(L"Die Datei ist besch\u00E4digt. Lade sie bitte noch einmal "
                               L"herunter.",
                               63));
  EXPECT_EQ(wide[19], 0x00E4);
}

TEST(ToUtf16zTest, GivesTheZeroUnitAloneForAnEmptyText) {
  EXPECT_EQ(to_utf16z(""), std::wstring(1, L'\0'));
}

struct WideCase {
  std::string utf8;
  std::wstring units;  // without the zero unit
};

class ToUtf16zTableTest : public ::testing::TestWithParam<WideCase> {};

TEST_P(ToUtf16zTableTest, GivesTheUnitsThenOneZeroUnit) {
  EXPECT_EQ(to_utf16z(GetParam().utf8), GetParam().units + L'\0');
}

INSTANTIATE_TEST_SUITE_P(
    Table, ToUtf16zTableTest,
    ::testing::Values(
        WideCase{"Lirabel Warden", L"Lirabel Warden"},
        WideCase{"\x7F", L"\x007F"}, WideCase{"\xC2\x80", L"\x0080"},
        WideCase{"\xC3\xA4", L"\u00E4"}, WideCase{"\xDF\xBF", L"\x07FF"},
        WideCase{"\xE0\xA0\x80", L"\x0800"}, WideCase{"\xE2\x82\xAC", L"\u20AC"},
        WideCase{"\xEF\xBF\xBF", L"\xFFFF"},
        // Above U+FFFF: a surrogate pair, high unit first.
        WideCase{"\xF0\x9F\x98\x80", L"\xD83D\xDE00"},
        WideCase{"\xF0\x90\x80\x80", L"\xD800\xDC00"},
        WideCase{"\xF4\x8F\xBF\xBF", L"\xDBFF\xDFFF"},
        WideCase{"Fehler \xF0\x9F\x98\x80 ende", L"Fehler \xD83D\xDE00 ende"}));

// Every text the installer can show, with its length in bytes of UTF-8 and in
// UTF-16 units (without the zero unit).
struct MessageCase {
  std::string_view text;
  std::size_t bytes;
  std::size_t units;
};

class MessageTextTest : public ::testing::TestWithParam<MessageCase> {};

TEST_P(MessageTextTest, HasItsLengthInBytesAndUnits) {
  EXPECT_EQ(GetParam().text.size(), GetParam().bytes);
  EXPECT_EQ(to_utf16z(GetParam().text).size(), GetParam().units + 1);
}

TEST_P(MessageTextTest, SurvivesTheWideFormUnchanged) {
  const std::wstring wide = to_utf16z(GetParam().text);
  ASSERT_FALSE(wide.empty());
  ASSERT_EQ(wide.back(), L'\0');
  const std::wstring_view units(wide.data(), wide.size() - 1);
  EXPECT_EQ(units.find(L'\0'), std::wstring_view::npos);
  EXPECT_EQ(utf8_of_utf16(units), std::string(GetParam().text));
}

INSTANTIATE_TEST_SUITE_P(
    Messages, MessageTextTest,
    ::testing::Values(MessageCase{messages::kTitle, 14, 14},
                      MessageCase{messages::kLocalAppDataMissing, 45, 45},
                      MessageCase{messages::kFolderNotCreated, 49, 49},
                      MessageCase{messages::kPayloadDamaged, 63, 62},
                      MessageCase{messages::kNotUnpacked, 37, 37},
                      MessageCase{messages::kOlderVersionRunning, 99, 97},
                      MessageCase{messages::kNotStarted, 38, 38}));

TEST(MessageTemplateTest, SpellsTheUmlautsAsSingleCharacters) {
  const std::wstring older = to_utf16z(messages::kOlderVersionRunning);
  EXPECT_EQ(older, std::wstring(L"Eine \u00E4ltere Version von Warden l\u00E4uft noch. Beende sie "
                                L"im Tray und starte diese Datei noch einmal.",
                                98));
}

TEST(MessageTemplateTest, CompletesATemplateWithTheFailureText) {
  EXPECT_EQ(messages::error(messages::kFolderNotCreated, "Access denied. (os error 5)").text,
            "Der Programmordner konnte nicht angelegt werden: Access denied. (os error 5)");
  EXPECT_EQ(messages::error(messages::kNotUnpacked, "failed to write whole buffer").text,
            "Warden konnte nicht entpackt werden: failed to write whole buffer");
  EXPECT_EQ(messages::error(messages::kNotStarted, "x").text,
            "Warden konnte nicht gestartet werden: x");
  EXPECT_EQ(messages::error(messages::kLocalAppDataMissing).text,
            "Der Ordner LOCALAPPDATA wurde nicht gefunden.");
}

}  // namespace
}  // namespace lbw
