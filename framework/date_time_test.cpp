#include "framework/date_time.h"

#include <gtest/gtest.h>

#include "framework/exceptions.h"

namespace korvel {
namespace {

TEST(DateTime, DayNumbersAndEncodings) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0);
  EXPECT_EQ(EncodeDate(1900, 1, 1), 2);
  EXPECT_EQ(DateTimeToDayNumber(EncodeDate(1, 1, 1)), 1);
  EXPECT_EQ(DateTimeToDayNumber(0), kDateDelta);
  EXPECT_EQ(DateTimeToDayNumber(EncodeDate(9999, 12, 31)), 3652059);
  EXPECT_THROW(EncodeDate(2001, 2, 29), EConvertError);
  EXPECT_NO_THROW(EncodeDate(2000, 2, 29));
  EXPECT_THROW(EncodeTime(24, 0, 0, 0), EConvertError);
  int y, m, d;
  DecodeDate(EncodeDate(1600, 3, 1), y, m, d);
  EXPECT_EQ(y * 10000 + m * 100 + d, 16000301);
  EXPECT_EQ(DayOfWeek(EncodeDate(2024, 1, 1)), 2);  // Monday
  // Before day 0 the fraction still counts forward from the day's midnight.
  TDateTime before = EncodeDate(1899, 12, 29) - EncodeTime(6, 0, 0, 0);
  int h, n, s, ms;
  DecodeTime(before, h, n, s, ms);
  EXPECT_EQ(h, 6);
  EXPECT_EQ(DateTimeToDayNumber(before), kDateDelta - 1);
  EXPECT_EQ(TimeStampValueToDateTime(DateTimeToTimeStampValue(before)), before);
  // A value just short of midnight rounds into the next day rather than to hour 24.
  DecodeTime(1.0 - 1e-10, h, n, s, ms);
  EXPECT_EQ(h * 10000 + n * 100 + s, 0);
  EXPECT_EQ(DateTimeToTimeMSecs(EncodeTime(1, 0, 0, 5)), 3600005);
}

TEST(DateTime, FormattingLetters) {
  TFormatSettings s = DefaultFormatSettings();
  TDateTime v = EncodeDate(2003, 4, 5) + EncodeTime(14, 7, 9, 45);
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss.zzz", v, s), "2003-04-05 14:07:09.045");
  EXPECT_EQ(FormatDateTime("d/m/yy h:mm", v, s), "5-4-03 14:07");  // m after h is minutes
  EXPECT_EQ(FormatDateTime("dddd, mmmm d", v, s), "Saturday, April 5");
  EXPECT_EQ(FormatDateTime("ddd mmm", v, s), "Sat Apr");
  EXPECT_EQ(FormatDateTime("h:nn am/pm", v, s), "2:07 pm");
  EXPECT_EQ(FormatDateTime("hh:nn AMPM", v, s), "02:07 PM");
  EXPECT_EQ(FormatDateTime("h a/p", EncodeTime(0, 5, 0, 0), s), "12 a");
  EXPECT_EQ(FormatDateTime("'at' hh \"o'clock\"", v, s), "at 14 o'clock");
  EXPECT_EQ(FormatDateTime("ddddd tt", v, s), "2003-04-05 14:07:09");
  EXPECT_EQ(FormatDateTime("c", EncodeDate(2003, 4, 5), s), "2003-04-05");
}

TEST(DateTime, LocaleParsers) {
  TFormatSettings s = DefaultFormatSettings();
  s.ShortDateFormat = "dd/mm/yyyy";
  s.DateSeparator = '/';
  EXPECT_EQ(StrToDate("31/12/1999", s), EncodeDate(1999, 12, 31));
  EXPECT_THROW(StrToDate("12/31/1999", s), EConvertError);
  EXPECT_EQ(StrToTime("1:02:03.4 PM", s), EncodeTime(13, 2, 3, 4));
  EXPECT_EQ(StrToDateTime("31/12/1999 23:59", s), EncodeDate(1999, 12, 31) + EncodeTime(23, 59, 0, 0));
  EXPECT_EQ(StrToDateTime("08:00", s), EncodeTime(8, 0, 0, 0));
  try {
    StrToDateTime("31/12/1999 x", s);
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "'31/12/1999 x' is not a valid date and time");
  }
  s.ShortDateFormat = "M/d/yyyy";
  EXPECT_EQ(StrToDate("2/3/2004", s), EncodeDate(2004, 2, 3));
}

}  // namespace
}  // namespace korvel
