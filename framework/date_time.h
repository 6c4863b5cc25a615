#pragma once
// Date-time values of the framework: a double counting days since 30 December 1899 (day 0),
// the fraction being the time of day. Negative values lie before day 0; for them the integer
// part is the day and the absolute value of the fraction is the time.
//
// The engine stores other forms (see the conversion block below):
//   date       signed 32-bit day number, 1 January of year 1 = day 1 (day 0 here = 693,594)
//   time       signed 32-bit milliseconds since midnight
//   timestamp  double, day number x 86,400,000 + milliseconds of the day
//
// Formatting letters (any case): d dd ddd dddd ddddd dddddd, m mm mmm mmmm (minutes when right
// after an hour), yy yyyy, h hh, n nn, s ss, z zzz, t tt, c, am/pm a/p ampm, / (date separator),
// : (time separator), '...' and "..." literal text.

#include <cstdint>
#include <string>

#include "framework/format_settings.h"

namespace korvel {

using TDateTime = double;

inline constexpr std::int32_t kDateDelta = 693594;  // engine day number of 30 December 1899
inline constexpr std::int64_t kMSecsPerDay = 86400000;
// The engine day numbers of 1 January 0001 and 31 December 9999: the calendar's range.
inline constexpr std::int32_t kFirstDayNumber = 1;
inline constexpr std::int32_t kLastDayNumber = 3652059;

bool IsLeapYear(int year);
int DaysInMonth(int year, int month);

// Composition and decomposition. Years run 1..9999. The Try forms report an impossible date or
// time by returning false; the others throw EConvertError.
bool TryEncodeDate(int year, int month, int day, TDateTime& value);
TDateTime EncodeDate(int year, int month, int day);
bool TryEncodeTime(int hour, int minute, int second, int msec, TDateTime& value);
TDateTime EncodeTime(int hour, int minute, int second, int msec);
void DecodeDate(TDateTime value, int& year, int& month, int& day);
void DecodeTime(TDateTime value, int& hour, int& minute, int& second, int& msec);
// A date plus a time of day. Before day 0 the time goes the other way: the integer part stays
// the day and the fraction's absolute value is the time (-1.75 is 29 December 1899, 18:00).
TDateTime ComposeDateTime(TDateTime date, TDateTime time);
// 1 = Sunday ... 7 = Saturday.
int DayOfWeek(TDateTime value);

TDateTime Now();
TDateTime Date();
int CurrentYear();

// Engine forms.
std::int32_t DateTimeToDayNumber(TDateTime value);
TDateTime DayNumberToDateTime(std::int32_t dayNumber);
std::int32_t DateTimeToTimeMSecs(TDateTime value);
TDateTime TimeMSecsToDateTime(std::int32_t msecs);
double DateTimeToTimeStampValue(TDateTime value);
TDateTime TimeStampValueToDateTime(double timestamp);

// Formatting with the letters above.
std::string FormatDateTime(const std::string& format, TDateTime value,
                           const TFormatSettings& settings);
std::string FormatDateTime(const std::string& format, TDateTime value);
std::string DateToStr(TDateTime value, const TFormatSettings& settings);
std::string TimeToStr(TDateTime value, const TFormatSettings& settings);
std::string DateTimeToStr(TDateTime value, const TFormatSettings& settings);

// The locale parsers: dates in the order of the short date format with the date separator,
// times as h[:n[:s[.z]]] with optional AM/PM, date and time joined by blanks. The throwing
// forms raise EConvertError "'<text>' is not a valid date" (time, date and time).
bool TryStrToDate(const std::string& text, TDateTime& value, const TFormatSettings& settings);
bool TryStrToTime(const std::string& text, TDateTime& value, const TFormatSettings& settings);
bool TryStrToDateTime(const std::string& text, TDateTime& value, const TFormatSettings& settings);
TDateTime StrToDate(const std::string& text, const TFormatSettings& settings);
TDateTime StrToTime(const std::string& text, const TFormatSettings& settings);
TDateTime StrToDateTime(const std::string& text, const TFormatSettings& settings);
// The same with the process's current settings.
TDateTime StrToDate(const std::string& text);
TDateTime StrToTime(const std::string& text);
TDateTime StrToDateTime(const std::string& text);

// Places a year of at most two digits within the two-digit-year window: adds the hundreds of
// (current year - window), and 100 more when the window is not 0 and the result is still below
// (current year - window).
int ExpandTwoDigitYear(int year, int currentYear, int window);

}  // namespace korvel
