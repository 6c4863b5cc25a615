#include "support/text_forms.h"

#include <cstring>
#include <functional>
#include <limits>

#include <gtest/gtest.h>

#include "framework/exceptions.h"
#include "support/byte_order.h"
#include "support/data_types.h"

namespace korvel {
namespace {

TDateTime T(int h, int n, int s, int ms) { return EncodeTime(h, n, s, ms); }

std::string Message(const std::function<void()>& f) {
  try {
    f();
  } catch (const EConvertError& e) {
    return e.Message();
  }
  return "(no error)";
}

TEST(AnsiForms, TimeText) {
  EXPECT_EQ(AnsiTimeToStr(T(13, 5, 0, 0), false), "01:05 PM");
  EXPECT_EQ(AnsiTimeToStr(T(0, 0, 7, 40), true), "00:00:07.40");
  EXPECT_EQ(AnsiTimeToStr(T(10, 0, 0, 250), true), "10:00");
  EXPECT_EQ(AnsiTimeToStr(T(0, 30, 0, 0), false), "12:30 AM");
  EXPECT_EQ(AnsiTimeToStr(T(12, 0, 5, 0), false), "12:00:05 PM");
  EXPECT_EQ(AnsiTimeToStr(T(23, 59, 59, 999), true), "23:59:59.999");
}

TEST(AnsiForms, DateAndOtherTexts) {
  EXPECT_EQ(AnsiDateToStr(EncodeDate(7, 3, 9)), "0007-03-09");
  EXPECT_EQ(AnsiDateTimeToStr(EncodeDate(2024, 2, 29) + T(8, 1, 0, 0), true), "2024-02-29 08:01");
  EXPECT_EQ(AnsiDateTimeToStr(EncodeDate(1850, 6, 1) + 0.0, true), "1850-06-01 00:00");
  EXPECT_EQ(AnsiBooleanToStr(true), "True");
  EXPECT_EQ(AnsiFloatToStr(0.1), "0.1");
  EXPECT_EQ(AnsiFloatToStr(-1.5e-7), "-1.5E-7");
  EXPECT_EQ(AnsiCurrToStr(Currency::FromRaw(-125000)), "-12.5");
}

TEST(AnsiParsers, Times) {
  EXPECT_EQ(StrToAnsiTime("12:30 AM"), T(0, 30, 0, 0));
  EXPECT_EQ(StrToAnsiTime("12:30 pm"), T(12, 30, 0, 0));
  EXPECT_EQ(StrToAnsiTime("1:2:3.4"), T(1, 2, 3, 4));
  EXPECT_EQ(StrToAnsiTime("1:15 PM"), T(13, 15, 0, 0));
  EXPECT_EQ(Message([] { StrToAnsiTime("1230"); }), "'1230' is not a valid time");
  EXPECT_EQ(Message([] { StrToAnsiTime("24:00"); }), "'24:00' is not a valid time");
  EXPECT_EQ(Message([] { StrToAnsiTime("10:x"); }), "'10:x' is not a valid time");
}

TEST(AnsiParsers, DatesAndDateTimes) {
  EXPECT_EQ(StrToAnsiDate("2008-1-5"), EncodeDate(2008, 1, 5));
  EXPECT_EQ(Message([] { StrToAnsiDate("2008-02-30"); }), "'2008-02-30' is not a valid date");
  EXPECT_EQ(Message([] { StrToAnsiDate("2008/02/03"); }), "'2008/02/03' is not a valid date");
  EXPECT_EQ(Message([] { StrToAnsiDate("20a8-02-03"); }), "'20a8-02-03' is not a valid date");
  EXPECT_EQ(StrToAnsiDateTime("2001-02-03"), EncodeDate(2001, 2, 3));
  EXPECT_EQ(StrToAnsiDateTime("04:05"), T(4, 5, 0, 0));
  EXPECT_EQ(StrToAnsiDateTime("2001-02-03 04:05:06.7"), EncodeDate(2001, 2, 3) + T(4, 5, 6, 7));
  EXPECT_EQ(Message([] { StrToAnsiDateTime("2001-02-03 x"); }),
            "'2001-02-03 x' is not a valid date and time");
  EXPECT_TRUE(StrToAnsiBoolean("tRuE"));
  EXPECT_EQ(Message([] { StrToAnsiBoolean("yes"); }), "'yes' is not a valid boolean");
  // Text forms read back to the same value.
  TDateTime v = EncodeDate(1999, 12, 31) + T(23, 0, 1, 2);
  EXPECT_EQ(StrToAnsiDateTime(AnsiDateTimeToStr(v, false)), v);
}

TEST(AnsiParsers, NumbersFollowTheLocaleSeparator) {
  TFormatSettings saved = GetFormatSettings();
  TFormatSettings comma = saved;
  comma.DecimalSeparator = ',';
  SetFormatSettings(comma);
  EXPECT_EQ(StrToAnsiFloat("2.5"), 2.5);
  EXPECT_EQ(StrToAnsiCurr("-0.00015").Raw, -2);  // halves away from zero
  EXPECT_TRUE(IsAFloat("1e3"));
  EXPECT_FALSE(IsAFloat("1.2.3"));
  SetFormatSettings(saved);
  EXPECT_THROW(StrToAnsiFloat("abc"), EConvertError);
}

TEST(Validators, Ranges) {
  EXPECT_TRUE(IsAByte("255"));
  EXPECT_FALSE(IsAByte("256"));
  EXPECT_FALSE(IsAByte("-1"));
  EXPECT_TRUE(IsAWord("65535"));
  EXPECT_TRUE(IsASmallInt("-32768"));
  EXPECT_FALSE(IsASmallInt("32768"));
  EXPECT_TRUE(IsAChar("-127"));
  EXPECT_FALSE(IsAChar("-128"));
  EXPECT_TRUE(IsAnInteger("-2147483648"));
  EXPECT_FALSE(IsAnInteger("2147483648"));
  EXPECT_TRUE(IsALargeInt("9223372036854775807"));
  EXPECT_FALSE(IsALargeInt("9223372036854775808"));
  EXPECT_FALSE(IsAnInteger(""));
  EXPECT_FALSE(IsAnInteger("12 "));
  EXPECT_TRUE(IsADate("2000-01-01"));
  EXPECT_FALSE(IsATime("25:00"));
  EXPECT_TRUE(IsADateTime("2000-01-01 1:00 PM"));
  EXPECT_TRUE(IsABoolean("FALSE"));
  EXPECT_TRUE(IsABCD("12.34"));
}

TEST(UserFormats, DatesTakeOrderAndSeparatorFromTheFormat) {
  EXPECT_EQ(FormatStrToDate("31.12.2003", "dd.mm.yyyy"), EncodeDate(2003, 12, 31));
  EXPECT_EQ(FormatStrToDate("12/31/2003", "MM/DD/YYYY"), EncodeDate(2003, 12, 31));
  EXPECT_EQ(FormatStrToDate("2003-1-2", "yyyy-mm-dd"), EncodeDate(2003, 1, 2));
  EXPECT_THROW(FormatStrToDate("31.12", "dd.mm.yyyy"), EConvertError);
  EXPECT_THROW(FormatStrToDate("31.13.2003", "dd.mm.yyyy"), EConvertError);
  // Two-digit years land in the window ending this year.
  int expected = ExpandTwoDigitYear(5, CurrentYear(), CurrentTwoDigitYearCenturyWindow());
  EXPECT_EQ(FormatStrToDate("01/01/05", "mm/dd/yy"), EncodeDate(expected, 1, 1));
  EXPECT_EQ(FormatStrToDate("01/01/0005", "mm/dd/yyyy"), EncodeDate(5, 1, 1));
  EXPECT_EQ(ExpandTwoDigitYear(5, 2024, 50), 2005);
  EXPECT_EQ(ExpandTwoDigitYear(80, 2024, 50), 1980);
  EXPECT_EQ(ExpandTwoDigitYear(80, 2024, 0), 2080);
}

TEST(UserFormats, TimesAndDateTimes) {
  EXPECT_EQ(FormatStrToTime("13.45.10", "hh.nn.ss"), T(13, 45, 10, 0));
  EXPECT_EQ(FormatStrToTime("01:45 PM", "hh:mm AMPM"), T(13, 45, 0, 0));
  EXPECT_EQ(FormatStrToTime("10:20:30.400", "hh:mm:ss.zzz"), T(10, 20, 30, 400));
  EXPECT_EQ(FormatStrToDateTime("2.1.2003 10:20", "d.m.yyyy", "hh:nn"),
            EncodeDate(2003, 1, 2) + T(10, 20, 0, 0));
  EXPECT_EQ(Message([] { FormatStrToDateTime("2.1.2003", "d.m.yyyy", "hh:nn"); }),
            "'2.1.2003' is not a valid date and time");
  EXPECT_THROW(FormatStrToDateTime("2.1.2003 10:20", "", "hh:nn"), EConvertError);
  EXPECT_EQ(FormatStrToFloat("3,25", ','), 3.25);
  EXPECT_EQ(FloatToFormatStr(3.25, ','), "3,25");
  EXPECT_EQ(CurrToFormatStr(FormatStrToCurr("-7,5", ','), ','), "-7,5");
}

TEST(NativeConversions, DateTimeBuffers) {
  unsigned char buffer[kValueBufferSize];
  std::memset(buffer, 0x55, sizeof buffer);
  std::strcpy(reinterpret_cast<char*>(buffer), "0001-01-01");
  ASSERT_TRUE(ConvertStringToDateTime(buffer, dtDate));
  EXPECT_EQ(GetI32(buffer, 0), 1);  // day 1 is 1 January of year 1
  ASSERT_TRUE(ConvertDateTimeToFormat(buffer, dtDate, "dd/mm/yyyy", "hh:nn"));
  EXPECT_STREQ(reinterpret_cast<char*>(buffer), "01-01-0001");  // "/" is the date separator
  EXPECT_EQ(buffer[kValueBufferSize - 1], 0);

  std::strcpy(reinterpret_cast<char*>(buffer), "01:00:00.5");
  ASSERT_TRUE(ConvertStringToDateTime(buffer, dtTime));
  EXPECT_EQ(GetI32(buffer, 0), 3600005);
  ASSERT_TRUE(ConvertDateTimeToFormat(buffer, dtTime, "", "hh:nn:ss.zzz"));
  EXPECT_STREQ(reinterpret_cast<char*>(buffer), "01:00:00.005");

  std::strcpy(reinterpret_cast<char*>(buffer), "1899-12-30 12:00");
  ASSERT_TRUE(ConvertStringToDateTime(buffer, dtTimeStamp));
  EXPECT_EQ(GetF64(buffer, 0), 693594.0 * 86400000 + 43200000);
  ASSERT_TRUE(ConvertDateTimeToFormat(buffer, dtTimeStamp, "yyyy-mm-dd", "hh:nn"));
  EXPECT_STREQ(reinterpret_cast<char*>(buffer), "1899-12-30 12:00");

  std::strcpy(reinterpret_cast<char*>(buffer), "not a date");
  EXPECT_FALSE(ConvertFormatToDateTime(buffer, dtDate, "dd.mm.yyyy", ""));
  EXPECT_EQ(GetI32(buffer, 0), 0);
  std::strcpy(reinterpret_cast<char*>(buffer), "untouched");
  EXPECT_TRUE(ConvertStringToDateTime(buffer, dtInteger));
  EXPECT_STREQ(reinterpret_cast<char*>(buffer), "untouched");
  // A damaged native value gives an empty text, not a crash.
  PutF64(buffer, 0, std::numeric_limits<double>::quiet_NaN());
  EXPECT_FALSE(ConvertDateTimeToFormat(buffer, dtTimeStamp, "yyyy", "hh"));
  EXPECT_EQ(buffer[0], 0);
}

// What export writes, import reads: "/" and ":" of a format are written as the settings' date
// and time separators, whatever those are.
TEST(NativeConversions, FormattedDatesAndTimesReadBackUnderAnySeparators) {
  const TFormatSettings saved = GetFormatSettings();
  const std::pair<char, char> separators[] = {{'-', ':'}, {'.', '.'}, {'/', ':'}, {'.', ':'}};
  const std::pair<std::uint8_t, std::string> formats[] = {
      {dtDate, "mm/dd/yyyy"}, {dtDate, "d/m/yy"}, {dtDate, "yyyy-mm-dd"}, {dtTime, "hh:nn:ss"}, {dtTimeStamp, ""}};
  for (auto [dateSeparator, timeSeparator] : separators) {
    TFormatSettings s = saved;
    s.DateSeparator = dateSeparator;
    s.TimeSeparator = timeSeparator;
    SetFormatSettings(s);
    for (const auto& [type, format] : formats) {
      std::string dateFormat = type == dtTime ? "" : (format.empty() ? "dd/mm/yyyy" : format);
      std::string timeFormat = type == dtDate ? "" : "hh:nn:ss";
      unsigned char buffer[kValueBufferSize] = {};
      std::int32_t day = 730120 + 123;  // a day in 2000
      std::int32_t ms = ((13 * 60 + 5) * 60 + 9) * 1000;
      if (type == dtDate) PutI32(buffer, 0, day);
      else if (type == dtTime) PutI32(buffer, 0, ms);
      else PutF64(buffer, 0, static_cast<double>(day) * 86400000.0 + ms);
      unsigned char original[8];
      std::memcpy(original, buffer, 8);
      ASSERT_TRUE(ConvertDateTimeToFormat(buffer, type, dateFormat, timeFormat));
      std::string text = reinterpret_cast<char*>(buffer);
      EXPECT_TRUE(ConvertFormatToDateTime(buffer, type, dateFormat, timeFormat))
          << "'" << text << "' with " << dateFormat << " " << timeFormat << " separators '" << dateSeparator
          << "' '" << timeSeparator << "'";
      EXPECT_EQ(std::memcmp(buffer, original, type == dtTimeStamp ? 8 : 4), 0) << text;
    }
  }
  SetFormatSettings(saved);
}

TEST(NativeConversions, NumberBuffers) {
  unsigned char buffer[kValueBufferSize] = {};
  std::strcpy(reinterpret_cast<char*>(buffer), "1234,5");
  ASSERT_TRUE(ConvertFormatToNumber(buffer, dtFloat, ','));
  EXPECT_EQ(GetF64(buffer, 0), 1234.5);
  ASSERT_TRUE(ConvertNumberToFormat(buffer, dtFloat, ','));
  EXPECT_STREQ(reinterpret_cast<char*>(buffer), "1234,5");
  std::strcpy(reinterpret_cast<char*>(buffer), "-0,25");
  ASSERT_TRUE(ConvertFormatToNumber(buffer, dtBCD, ','));
  EXPECT_EQ(buffer[0], 32);    // precision
  EXPECT_EQ(buffer[1], 0x84);  // negative, scale 4
  ASSERT_TRUE(ConvertNumberToFormat(buffer, dtBCD, '.'));
  EXPECT_STREQ(reinterpret_cast<char*>(buffer), "-0.25");
  std::strcpy(reinterpret_cast<char*>(buffer), "x");
  EXPECT_FALSE(ConvertFormatToNumber(buffer, dtFloat, '.'));
}

TEST(OldValueTexts, RewrittenInAnsiForm) {
  TFormatSettings saved = GetFormatSettings();
  TFormatSettings german = saved;
  german.DateSeparator = '.';
  german.ShortDateFormat = "dd.mm.yyyy";
  german.DecimalSeparator = ',';
  SetFormatSettings(german);
  EXPECT_EQ(ConvertExpressionToAnsi("24.12.2001", dtDate), "2001-12-24");
  EXPECT_EQ(ConvertExpressionToAnsi("24.12.2001 18:30", dtTimeStamp), "2001-12-24 18:30");
  EXPECT_EQ(ConvertExpressionToAnsi("24.12.2001", dtTimeStamp), "2001-12-24 00:00");
  EXPECT_EQ(ConvertExpressionToAnsi("18:30:15", dtTime), "18:30:15");
  EXPECT_EQ(ConvertExpressionToAnsi("3,5", dtFloat), "3.5");
  EXPECT_EQ(ConvertExpressionToAnsi("1,25", dtBCD), "1.25");
  EXPECT_EQ(ConvertExpressionToAnsi("date", dtDate), "CURRENT_DATE");
  EXPECT_EQ(ConvertExpressionToAnsi("Now", dtTimeStamp), "CURRENT_TIMESTAMP");
  EXPECT_EQ(ConvertExpressionToAnsi("now", dtDate), "now");
  EXPECT_EQ(ConvertExpressionToAnsi("3,5", dtInteger), "3,5");
  EXPECT_EQ(ConvertExpressionToAnsi("garbage", dtDate), "garbage");
  SetFormatSettings(saved);
  EXPECT_EQ(VersionToStr(0), "1.00");
  EXPECT_EQ(VersionToStr(3), "1.08");
  EXPECT_EQ(VersionToStr(5), "3.00");
  EXPECT_EQ(VersionToStr(6), "");
}

// Before 30 December 1899 a date-time value's fraction counts the time the other way; the
// readers must keep the day and the time of day as written.
TEST(AnsiParsers, DateTimesBeforeTheBaseDayKeepTheirDayAndTime) {
  const double ms = 86400000.0;
  auto stamp = [&](const std::string& text) {
    return DateTimeToTimeStampValue(StrToAnsiDateTime(text));
  };
  const double day1800 = DateTimeToDayNumber(EncodeDate(1800, 1, 1));
  EXPECT_EQ(stamp("1800-01-01 12:00"), day1800 * ms + 43200000);
  EXPECT_EQ(stamp("1800-01-01 12:00:00.500"), day1800 * ms + 43200500);
  EXPECT_EQ(stamp("1899-12-29 18:00"), (693594.0 - 1) * ms + 64800000);
  EXPECT_EQ(stamp("0001-01-01 23:59:59.999"), 1 * ms + 86399999);
  EXPECT_EQ(AnsiDateTimeToStr(StrToAnsiDateTime("1899-12-29 18:00"), true), "1899-12-29 18:00");

  unsigned char buffer[kValueBufferSize] = {};
  std::strcpy(reinterpret_cast<char*>(buffer), "1800-01-01 12:00");
  ASSERT_TRUE(ConvertStringToDateTime(buffer, dtTimeStamp));
  EXPECT_EQ(GetF64(buffer, 0), day1800 * ms + 43200000);
  std::memset(buffer, 0, sizeof buffer);
  std::strcpy(reinterpret_cast<char*>(buffer), "01.01.1800 06:30");
  ASSERT_TRUE(ConvertFormatToDateTime(buffer, dtTimeStamp, "dd.mm.yyyy", "hh:nn"));
  EXPECT_EQ(GetF64(buffer, 0), day1800 * ms + 23400000);
}

}  // namespace
}  // namespace korvel
