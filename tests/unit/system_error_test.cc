// The text that stands for a failed system operation, checked against what
// FormatMessageW itself gives on the machine that runs the test.
#include "shell/system_error.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "shell/utf8.h"
#include "shell/win32.h"
#include "support/platform.h"

namespace lbw {
namespace {

// The system's text for a message number without trailing line breaks and
// blanks, or the fallback that names the failed lookup's error.
std::string system_text(DWORD message, HMODULE module = nullptr) {
  const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                      (module != nullptr ? FORMAT_MESSAGE_FROM_HMODULE : 0);
  wchar_t buffer[2048];
  const DWORD length = FormatMessageW(flags, module, message, 0, buffer, 2048, nullptr);
  if (length == 0) {
    const DWORD error = GetLastError();
    return "OS Error " + std::to_string(static_cast<std::int32_t>(message)) +
           " (FormatMessageW() returned error " + std::to_string(error) + ")";
  }
  std::string text(length * 3, '\0');
  text.resize(WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(length), text.data(),
                                  static_cast<int>(text.size()), nullptr, nullptr));
  while (!text.empty() && std::string_view(" \t\n\f\r").find(text.back()) != std::string::npos) {
    text.pop_back();
  }
  return text;
}

TEST(SystemErrorTest, GivesTheSystemsTextThenTheCode) {
  const std::string text = system_text(ERROR_ACCESS_DENIED);
  ASSERT_FALSE(text.starts_with("OS Error")) << "the system has no text for 5: " << text;
  EXPECT_EQ(error_text_of(os_error(5)), text + " (os error 5)");
}

TEST(SystemErrorTest, NamesTheLookupFailureForACodeWithoutText) {
  const std::string fallback = system_text(123456);
  // Wine and Windows both give error 317 here.
  ASSERT_TRUE(fallback.starts_with("OS Error 123456 (FormatMessageW() returned error "));
  EXPECT_EQ(error_text_of(os_error(123456)), fallback + " (os error 123456)");
}

TEST(SystemErrorTest, LooksUpBit28CodesInNtdllWithoutThatBit) {
  // Wine's NTDLL.DLL has no message table, so there the fallback names
  // 0xC0000022; Windows has a text for it.
  const std::string ntdll_text = system_text(0xC0000022, GetModuleHandleW(L"NTDLL.DLL"));
  if (!test::running_under_wine()) {
    EXPECT_FALSE(ntdll_text.starts_with("OS Error")) << ntdll_text;
  }
  EXPECT_EQ(error_text_of(os_error(0xD0000022)), ntdll_text + " (os error -805306334)");
  // Bit 28 clear: an ordinary lookup, the code shown signed.
  EXPECT_EQ(error_text_of(os_error(0x80070005)),
            system_text(0x80070005) + " (os error -2147024891)");
}

TEST(SystemErrorTest, TakesOffOnlyTheFiveBlanksAtTheEnd) {
  const struct {
    std::string_view text, kept;
  } cases[] = {
      {"a ", "a"},    {"a\t", "a"},
      {"a\f", "a"},   {"a\r", "a"},
      {"a\n", "a"},   {"a\xC2\xA0", "a\xC2\xA0"},
      {"a\v", "a\v"}, {" a b\r\n \t\f", " a b"},
      {" \r\n", ""},  {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(without_trailing_blanks(c.text), c.kept) << c.text;
}

TEST(SystemErrorTest, GivesAFixedTextAlone) {
  EXPECT_EQ(error_text_of(OsFailure{.code = 5, .fixed_text = "failed to write whole buffer"}),
            "failed to write whole buffer");
}

TEST(SystemErrorTest, ConvertsUtf16ExactlyOrRefusesUnpairedSurrogates) {
  const struct {
    std::wstring units;
    std::optional<std::string> utf8;
  } cases[] = {
      {L"", ""},
      {L"\x007F", "\x7F"},
      {L"\x0080", "\xC2\x80"},
      {L"\x07FF", "\xDF\xBF"},
      {L"\x0800", "\xE0\xA0\x80"},
      {L"\xD7FF", "\xED\x9F\xBF"},
      {L"\xE000", "\xEE\x80\x80"},
      {L"\xFFFF", "\xEF\xBF\xBF"},
      {L"\xD800\xDC00", "\xF0\x90\x80\x80"},
      {L"a\xDBFF\xDFFF", "a\xF4\x8F\xBF\xBF"},
      {L"\xD800x", std::nullopt},   // lone high
      {L"x\xDFFF", std::nullopt},   // lone low
      {L"ab\xD83D", std::nullopt},  // high at the end
  };
  for (const auto& c : cases) EXPECT_EQ(utf8_of_utf16(c.units), c.utf8) << c.units.size();
}

}  // namespace
}  // namespace lbw
