// The recognition request's texts: boundary token, multipart head and tail, header block.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "doubles/test_clock.h"
#include "platform/text_conversion.h"
#include "platform/wide_format.h"
#include "support/test_files.h"
#include "transfer/request_text.h"

namespace {

std::string Ascii(const std::u16string& wide) {
  std::string out;
  for (char16_t unit : wide) out.push_back(static_cast<char>(unit));
  return out;
}

SYSTEMTIME Time(WORD year, WORD month, WORD dayOfWeek, WORD day, WORD hour, WORD minute,
                WORD second, WORD millis) {
  return SYSTEMTIME{year, month, dayOfWeek, day, hour, minute, second, millis};
}

std::string Token(const SYSTEMTIME& time) {
  WCHAR token[kBoundaryChars];
  FormatUploadBoundary(time, token);
  return Ascii(token);
}

const std::string kToken = "2016090610112716123";

}  // namespace

TEST(RequestText, BoundaryTokenPutsDayOfWeekThirdAndZeroPadsEveryField) {
  EXPECT_EQ(Token(Time(2016, 9, 6, 10, 11, 27, 16, 123)), kToken);
  EXPECT_EQ(Token(Time(1000, 7, 0, 1, 0, 0, 0, 5)), "1000070001000000005");
  EXPECT_EQ(Token(Time(9999, 12, 6, 31, 23, 59, 59, 999)), "9999120631235959999");
}

TEST(RequestText, BoundaryFromTheClockIsNineteenDigitsAlsoPast2038) {
  WCHAR token[kBoundaryChars];
  BuildUploadBoundary(token);
  std::string text = Ascii(token);
  ASSERT_EQ(text.size(), 19u);
  EXPECT_EQ(text.find_first_not_of("0123456789"), std::string::npos);

  // Clocks stopped past the ends of a signed and of an unsigned 32-bit time_t (2^31 and 2^32
  // seconds after the epoch, a Tuesday and a Sunday), read in UTC.
  const struct {
    int64_t seconds;
    int32_t milliseconds;
    const char* token;
  } stopped[] = {
      {(int64_t{1} << 31) - 1, 999, "2038010219031407999"},
      {int64_t{1} << 31, 5, "2038010219031408005"},
      {int64_t{1} << 32, 250, "2106020007062816250"},
  };
  const char* zone = getenv("TZ");
  std::string savedZone = zone != nullptr ? zone : "";
  setenv("TZ", "UTC0", 1);
  tzset();
  for (const auto& row : stopped) {
    SCOPED_TRACE(row.seconds);
    ClockStoppedAtForTesting(row.seconds, row.milliseconds);
    BuildUploadBoundary(token);
    EXPECT_EQ(Ascii(token), row.token);
  }
  ClockFromSystemForTesting();
  if (zone != nullptr) {
    setenv("TZ", savedZone.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

TEST(RequestText, FilePartHeadIsTheFileFieldDelimiterAndHeaders) {
  WCHAR wide[kFilePartHeadChars];
  char narrow[kNarrowPartBytes];
  ASSERT_TRUE(FilePartHead(Utf16(kToken).c_str(), wide, narrow));
  std::string expected = "------" + kToken +
                         "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"wav.wav\"\r\n"
                         "Content-Type: audio/wav\r\n\r\n";
  EXPECT_EQ(expected.size(), 119u);
  EXPECT_EQ(narrow, expected);
  EXPECT_EQ(Ascii(wide), expected);
}

TEST(RequestText, FormTailCarriesTheKeyBetweenDelimiters) {
  WCHAR wide[kFormTailChars];
  char narrow[kNarrowPartBytes];
  ASSERT_TRUE(FormTail(Utf16(kToken).c_str(), u"", wide, narrow));
  std::string empty = "\r\n------" + kToken +
                      "\r\nContent-Disposition: form-data; name=\"apikey\"\r\n\r\n\r\n------" + kToken +
                      "--\r\n";
  EXPECT_EQ(empty.size(), 109u);
  EXPECT_EQ(narrow, empty);

  ASSERT_TRUE(FormTail(Utf16(kToken).c_str(), u"k-1", wide, narrow));
  EXPECT_NE(std::string(narrow).find("apikey\"\r\n\r\nk-1\r\n------" + kToken + "--\r\n"),
            std::string::npos);
}

TEST(RequestText, KeyLimitIs890Utf8BytesAndLoneSurrogatesAreRefused) {
  WCHAR wide[kFormTailChars];
  char narrow[kNarrowPartBytes];
  std::u16string token = Utf16(kToken);
  std::u16string longest(890, u'k');
  ASSERT_TRUE(FormTail(token.c_str(), longest.c_str(), wide, narrow));
  EXPECT_EQ(strlen(narrow), 999u);
  EXPECT_FALSE(ApiKeyFitsFormTail((longest + u"k").c_str()));

  // Two bytes each in UTF-8: 445 fit exactly, 446 do not, though both are far below 890 units.
  std::u16string accented(445, u'\u00e9');
  ASSERT_TRUE(FormTail(token.c_str(), accented.c_str(), wide, narrow));
  EXPECT_EQ(strlen(narrow), 109u + 890u);
  EXPECT_FALSE(ApiKeyFitsFormTail((accented + u"\u00e9").c_str()));

  // Three bytes each: the narrow form must not be cut short by a too-small scratch area.
  std::u16string cjk(296, u'\u4e2d');
  ASSERT_TRUE(FormTail(token.c_str(), cjk.c_str(), wide, narrow));
  EXPECT_EQ(strlen(narrow), 109u + 888u);

  const char16_t loneHigh[] = {u'a', 0xD800, u'b', 0};
  const char16_t loneLow[] = {0xDC00, 0};
  EXPECT_FALSE(ApiKeyFitsFormTail(loneHigh));
  EXPECT_FALSE(ApiKeyFitsFormTail(loneLow));
  EXPECT_FALSE(FormTail(token.c_str(), loneHigh, wide, narrow));
  EXPECT_STREQ(narrow, "");
}

TEST(RequestText, NarrowFormIsUtf8WhateverTheLocale) {
  std::string before = setlocale(LC_ALL, nullptr);
  setlocale(LC_ALL, "C");
  WCHAR wide[kFormTailChars];
  char narrow[kNarrowPartBytes];
  ASSERT_TRUE(FormTail(Utf16(kToken).c_str(), Utf16("ключ-\xF0\x9F\x8E\xA4").c_str(), wide, narrow));
  setlocale(LC_ALL, before.c_str());
  EXPECT_NE(std::string(narrow).find("\r\n\r\nключ-\xF0\x9F\x8E\xA4\r\n"), std::string::npos);
}

TEST(RequestText, HeaderBlockIsTheTenLinesInOrder) {
  WCHAR block[kUploadHeaderBlockChars];
  ASSERT_TRUE(UploadHeaderBlock(123456, Utf16(kToken).c_str(), block));
  EXPECT_EQ(Ascii(block),
            "Host: " OMBRIVOICE_API_HOST "\r\n"
            "Connection: keep-alive\r\n"
            "Content-Length: 123456\r\n"
            "Accept: application/json, text/javascript, */*; q=0.01\r\n"
            "Origin: https://" OMBRIVOICE_SITE_HOST "\r\n"
            "User-Agent: Mozilla/5.0 (Windows NT 5.1) AppleWebKit/537.36 (KHTML, like Gecko) "
            "Chrome/43.0.2357.124 Safari/537.36\r\n"
            "Content-Type: multipart/form-data; boundary=----" + kToken + "\r\n"
            "Referer: https://" OMBRIVOICE_SITE_HOST "/developer/apis/recognizespeech\r\n"
            "Accept-Encoding: gzip, deflate\r\n"
            "Accept-Language: en-US,en;q=0.8\r\n");
}

TEST(TextConversion, Utf16ToUtf8CoversEveryEncodedLength) {
  const char16_t text[] = {u'A', 0x00E9, 0x4E2D, 0xD83C, 0xDFA4, 0};
  char out[16];
  ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, text, -1, out, sizeof out, nullptr, nullptr), 11);
  EXPECT_STREQ(out, "A\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x8E\xA4");
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text, -1, out, 10, nullptr, nullptr), 0);  // too small
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr), 11);
}

TEST(WideFormat, RefusesWhatItDoesNotUnderstandWithoutReadingPastTheFormat) {
  WCHAR out[64];
  // Each format sits at the very end of its own buffer, so a read past the NUL shows under ASan.
  // A plain %s names a narrow string in a wide format, as the C and Windows runtimes read it.
  for (std::u16string format : {u"abc%", u"%05", u"%x", u"%99999999999d", u"%-5d", u"%s", u"%l", u"%5ls"}) {
    std::unique_ptr<char16_t[]> exact(new char16_t[format.size() + 1]);
    std::copy(format.c_str(), format.c_str() + format.size() + 1, exact.get());
    EXPECT_EQ(swprintf(out, 64, exact.get(), 7), -1) << Ascii(format);
    EXPECT_EQ(out[0], 0);
  }
  EXPECT_EQ(swprintf(out, 5, u"%d", 123456), -1);  // does not fit
  // The widest field is 9999 wide; a wider one is refused even where it would fit.
  std::vector<WCHAR> wide(10002);
  EXPECT_EQ(swprintf(wide.data(), wide.size(), u"%9999d", 7), 9999);
  EXPECT_EQ(wide[9998], u'7');
  for (const WCHAR* format : {u"%10000d", u"%010000d", u"%99999d"}) {
    EXPECT_EQ(swprintf(wide.data(), wide.size(), format, 7), -1) << Ascii(format);
    EXPECT_EQ(wide[0], 0);
  }
  EXPECT_EQ(swprintf(out, 64, u"%d|%5d|%05d|%%|%ls", -42, 7, -7, u"x"), 19);
  EXPECT_EQ(Ascii(out), "-42|    7|-0007|%|x");
}
