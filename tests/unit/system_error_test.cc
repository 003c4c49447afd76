// The text that stands for a failed system operation in a message, checked
// against what FormatMessageW itself gives on the machine that runs the test.
#include "shell/system_error.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "shell/win32.h"

namespace lbw {
namespace {

// What FormatMessageW gives for a message number: the text, converted by the
// system and without its trailing line break and blanks, or the error code of
// the failed lookup.
struct Lookup {
  std::optional<std::string> text;
  DWORD error = 0;
};

Lookup look_up(DWORD flags, HMODULE source, DWORD message) {
  wchar_t buffer[2048] = {};
  const DWORD length = FormatMessageW(flags, source, message, 0, buffer, 2048, nullptr);
  if (length == 0) return {std::nullopt, GetLastError()};
  std::string text(static_cast<std::size_t>(length) * 3, '\0');
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(length), text.data(),
                                        static_cast<int>(text.size()), nullptr, nullptr);
  text.resize(static_cast<std::size_t>(bytes));
  while (!text.empty() && std::string_view(" \t\n\f\r").find(text.back()) != std::string::npos) {
    text.pop_back();
  }
  return {text, 0};
}

Lookup look_up_system(DWORD message) {
  return look_up(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, message);
}

Lookup look_up_ntdll(DWORD message) {
  return look_up(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                     FORMAT_MESSAGE_FROM_HMODULE,
                 GetModuleHandleW(L"NTDLL.DLL"), message);
}

std::string lookup_failure(std::string_view message_number, DWORD error) {
  return "OS Error " + std::string(message_number) + " (FormatMessageW() returned error " +
         std::to_string(error) + ")";
}

bool has_line_break(const std::string& text) {
  return text.find('\r') != std::string::npos || text.find('\n') != std::string::npos;
}

TEST(SystemErrorTest, GivesTheSystemsTextWithoutItsLineBreakThenTheCode) {
  const Lookup lookup = look_up_system(ERROR_ACCESS_DENIED);
  ASSERT_TRUE(lookup.text.has_value()) << "the system has no text for 5: " << lookup.error;
  ASSERT_FALSE(lookup.text->empty());
  EXPECT_EQ(format_system_error(5), *lookup.text);
  const std::string text = error_text_of(os_error(5));
  EXPECT_EQ(text, *lookup.text + " (os error 5)");
  EXPECT_FALSE(has_line_break(text)) << text;
}

// Codes that the install folder and the file steps meet most.
class KnownCodeTest : public ::testing::TestWithParam<DWORD> {};

TEST_P(KnownCodeTest, EndsInTheCodeAndHasNoLineBreak) {
  const DWORD code = GetParam();
  const Lookup lookup = look_up_system(code);
  ASSERT_TRUE(lookup.text.has_value()) << "the system has no text for " << code;
  const std::string text = error_text_of(os_error(code));
  EXPECT_EQ(text, *lookup.text + " (os error " + std::to_string(code) + ")");
  EXPECT_FALSE(has_line_break(text)) << text;
}

INSTANTIATE_TEST_SUITE_P(Codes, KnownCodeTest,
                         ::testing::Values(0, 2, 3, 5, 15, 32, 80, 112, 183, 267));

TEST(SystemErrorTest, NamesTheLookupFailureForACodeWithoutText) {
  const Lookup lookup = look_up_system(123456);
  ASSERT_FALSE(lookup.text.has_value()) << "the system has a text for 123456: " << *lookup.text;
  // Wine and Windows both give 317 (ERROR_MR_MID_NOT_FOUND) here.
  const std::string fallback = lookup_failure("123456", lookup.error);
  EXPECT_EQ(format_system_error(123456), fallback);
  EXPECT_EQ(error_text_of(os_error(123456)), fallback + " (os error 123456)");
}

// A code with bit 28 set is looked up in NTDLL.DLL's message table without
// that bit; the suffix keeps the full code. Wine's NTDLL.DLL has no message
// table, so there the lookup fails and the fallback shows the number with bit
// 28 cleared; Windows has texts for these and gives them instead.
struct NtStatusCase {
  std::uint32_t code;
  std::uint32_t message;
  std::string message_decimal;  // the message number as signed 32-bit
  std::string suffix;
};

class NtStatusCodeTest : public ::testing::TestWithParam<NtStatusCase> {};

TEST_P(NtStatusCodeTest, LooksUpTheNumberWithoutBit28AndShowsTheFullCode) {
  const NtStatusCase& c = GetParam();
  ASSERT_NE(GetModuleHandleW(L"NTDLL.DLL"), nullptr);
  const Lookup lookup = look_up_ntdll(c.message);
  const std::string system_text =
      lookup.text ? *lookup.text : lookup_failure(c.message_decimal, lookup.error);
  EXPECT_EQ(format_system_error(static_cast<std::int32_t>(c.code)), system_text);
  EXPECT_EQ(error_text_of(os_error(c.code)), system_text + " " + c.suffix);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, NtStatusCodeTest,
    ::testing::Values(
        // Access denied as a status (0xC0000022) with bit 28 set.
        NtStatusCase{0xD0000022, 0xC0000022, "-1073741790", "(os error -805306334)"},
        NtStatusCase{0x10000005, 0x00000005, "5", "(os error 268435461)"},
        NtStatusCase{0x10000000, 0x00000000, "0", "(os error 268435456)"},
        // All bits set: bit 28 is among them.
        NtStatusCase{0xFFFFFFFF, 0xEFFFFFFF, "-268435457", "(os error -1)"}));

TEST(SystemErrorTest, ShowsACodeWithTheHighBitAsANegativeNumber) {
  // 0x80070005 (access denied as an HRESULT) has bit 28 clear: a system lookup.
  const Lookup lookup = look_up_system(0x80070005);
  const std::string system_text =
      lookup.text ? *lookup.text : lookup_failure("-2147024891", lookup.error);
  EXPECT_EQ(error_text_of(os_error(0x80070005)), system_text + " (os error -2147024891)");

  const Lookup lowest = look_up_system(0x80000000);
  const std::string lowest_text =
      lowest.text ? *lowest.text : lookup_failure("-2147483648", lowest.error);
  EXPECT_EQ(error_text_of(os_error(0x80000000)), lowest_text + " (os error -2147483648)");
}

TEST(SystemErrorTest, ShowsTheLargestPositiveCodeInFull) {
  // 0x7FFFFFFF has bit 28 set.
  const Lookup lookup = look_up_ntdll(0x6FFFFFFF);
  const std::string system_text =
      lookup.text ? *lookup.text : lookup_failure("1879048191", lookup.error);
  EXPECT_EQ(error_text_of(os_error(0x7FFFFFFF)), system_text + " (os error 2147483647)");
}

TEST(SystemErrorTest, GivesAFixedTextAloneWithoutCode) {
  EXPECT_EQ(error_text_of(OsFailure{.fixed_text = "failed to write whole buffer"}),
            "failed to write whole buffer");
  // The fixed text wins over a code that happens to be there.
  EXPECT_EQ(error_text_of(OsFailure{.code = 5, .fixed_text = "failed to write whole buffer"}),
            "failed to write whole buffer");
}

struct Utf16Case {
  std::wstring units;
  std::optional<std::string> utf8;
};

class Utf8OfUtf16Test : public ::testing::TestWithParam<Utf16Case> {};

TEST_P(Utf8OfUtf16Test, ConvertsExactlyOrRefusesUnpairedSurrogates) {
  EXPECT_EQ(utf8_of_utf16(GetParam().units), GetParam().utf8);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Utf8OfUtf16Test,
    ::testing::Values(
        Utf16Case{L"", ""}, Utf16Case{L"Access denied.", "Access denied."},
        Utf16Case{std::wstring(L"a\0b", 3), std::string("a\0b", 3)},
        // One, two, three and four bytes, at the edges of each length.
        Utf16Case{L"\x007F", "\x7F"}, Utf16Case{L"\x0080", "\xC2\x80"},
        Utf16Case{L"\u00E4", "\xC3\xA4"}, Utf16Case{L"\x07FF", "\xDF\xBF"},
        Utf16Case{L"\x0800", "\xE0\xA0\x80"}, Utf16Case{L"\u20AC", "\xE2\x82\xAC"},
        Utf16Case{L"\xFFFF", "\xEF\xBF\xBF"}, Utf16Case{L"\xE000", "\xEE\x80\x80"},
        Utf16Case{L"\xD83D\xDE00", "\xF0\x9F\x98\x80"},
        Utf16Case{L"\xD800\xDC00", "\xF0\x90\x80\x80"},
        Utf16Case{L"\xDBFF\xDFFF", "\xF4\x8F\xBF\xBF"},
        Utf16Case{L"Zugriff verweigert: \u00E4\u20AC\xD83D\xDE00.",
                  "Zugriff verweigert: \xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80."},
        // Unpaired surrogates anywhere.
        Utf16Case{L"\xD83D", std::nullopt}, Utf16Case{L"ab\xD83D", std::nullopt},
        Utf16Case{L"\xD83Dx", std::nullopt}, Utf16Case{L"\xDE00", std::nullopt},
        Utf16Case{L"x\xDE00y", std::nullopt}, Utf16Case{L"\xDE00\xD83D", std::nullopt},
        Utf16Case{L"\xD83D\xD83D\xDE00", std::nullopt},
        Utf16Case{L"\xD83D\xDE00\xDE00", std::nullopt}));

}  // namespace
}  // namespace lbw
