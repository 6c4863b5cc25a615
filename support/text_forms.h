#pragma once
// Text forms of values.
//
// ANSI forms are locale-independent; filter and SQL literals, import and export, and defaults
// and validity checks stored in table headers use them:
//   date       "yyyy-mm-dd"
//   time       "hh:nn", then ":ss" only when the seconds are not 0, then "." and the
//              milliseconds as a plain number only when seconds and milliseconds are both not 0;
//              12-hour form: hour 12, 1 .. 11 and " AM" / " PM"
//   date-time  date, one blank, time
//   boolean    "True" / "False"
//   float      the general shortest text with "." as decimal separator
//   currency   the general currency text with "."
// Parsers raise EConvertError with "'<text>' is not a valid date" (time, date and time,
// boolean); the float and currency parsers raise the framework's conversion error.
//
// Format-driven conversions read and write the native value forms of a 251-byte value buffer
// for import and export; they never raise.

#include <cstdint>
#include <string>

#include "framework/currency_bcd.h"
#include "framework/date_time.h"

namespace korvel {

inline constexpr std::size_t kValueBufferSize = 251;

std::string AnsiDateToStr(TDateTime value);
std::string AnsiTimeToStr(TDateTime value, bool use24Hour);
std::string AnsiDateTimeToStr(TDateTime value, bool use24Hour);
std::string AnsiBooleanToStr(bool value);
std::string AnsiFloatToStr(double value);
std::string AnsiCurrToStr(Currency value);

TDateTime StrToAnsiDate(const std::string& text);
TDateTime StrToAnsiTime(const std::string& text);
TDateTime StrToAnsiDateTime(const std::string& text);
bool StrToAnsiBoolean(const std::string& text);
// "." becomes the locale's decimal separator, then the locale parser reads the text.
double StrToAnsiFloat(const std::string& text);
Currency StrToAnsiCurr(const std::string& text);
// The date and time parsers without the exception: false for a text that does not read.
bool TryStrToAnsiDate(const std::string& text, TDateTime& value);
bool TryStrToAnsiTime(const std::string& text, TDateTime& value);
bool TryStrToAnsiDateTime(const std::string& text, TDateTime& value);

// Validators: true when the matching parser succeeds; they never raise.
bool IsABoolean(const std::string& text);
bool IsAFloat(const std::string& text);
bool IsABCD(const std::string& text);
bool IsADate(const std::string& text);
bool IsATime(const std::string& text);
bool IsADateTime(const std::string& text);
// The same through the locale parsers of the current format settings.
bool IsADateNonAnsi(const std::string& text);
bool IsATimeNonAnsi(const std::string& text);
bool IsADateTimeNonAnsi(const std::string& text);
// Decimal integers: an optional sign and digits.
bool IsAnInteger(const std::string& text);
bool IsALargeInt(const std::string& text);
bool IsAByte(const std::string& text);      // 0 .. 255
bool IsAWord(const std::string& text);      // 0 .. 65535
bool IsASmallInt(const std::string& text);  // -32768 .. 32767
bool IsAChar(const std::string& text);      // -127 .. 127

// User formats (import and export). FormatStrToDate takes the order of day, month and year
// from the first appearance of the letters D, M, Y (any case) in dateFormat and its separator
// from the format's first character that is neither a letter nor a blank; a year of at most
// two digits is placed by the two-digit-year window. FormatStrToTime reads hours, minutes,
// seconds and milliseconds in the order of H, M (or N), S, Z of timeFormat, at the format's
// separator (and at "."), as a 12-hour time when the text holds AM or PM. FormatStrToDateTime
// cuts the text at its first blank. They raise EConvertError like the ANSI parsers.
TDateTime FormatStrToDate(const std::string& text, const std::string& dateFormat);
TDateTime FormatStrToTime(const std::string& text, const std::string& timeFormat);
TDateTime FormatStrToDateTime(const std::string& text, const std::string& dateFormat,
                              const std::string& timeFormat);
double FormatStrToFloat(const std::string& text, char decimalSeparator);
Currency FormatStrToCurr(const std::string& text, char decimalSeparator);
std::string FloatToFormatStr(double value, char decimalSeparator);
std::string CurrToFormatStr(Currency value, char decimalSeparator);

// In place on a value buffer of kValueBufferSize bytes. Only dates (2), times (10) and
// timestamps (11) are handled by the date-time forms, only floats (7) and BCD (8) by the number
// forms; other types return true untouched. To native: the zero-terminated text is parsed and
// replaced by the native value (a failure stores 0 and returns false). From native: the buffer
// is cleared and receives the formatted text (a failure leaves it empty and returns false).
bool ConvertStringToDateTime(unsigned char* buffer, std::uint8_t dataType);
bool ConvertFormatToDateTime(unsigned char* buffer, std::uint8_t dataType,
                             const std::string& dateFormat, const std::string& timeFormat);
bool ConvertDateTimeToFormat(unsigned char* buffer, std::uint8_t dataType,
                             const std::string& dateFormat, const std::string& timeFormat);
bool ConvertFormatToNumber(unsigned char* buffer, std::uint8_t dataType, char decimalSeparator);
bool ConvertNumberToFormat(unsigned char* buffer, std::uint8_t dataType, char decimalSeparator);

// Rewrites a default or limit value stored as locale text by an old table version in the
// ANSI form of its type; texts that do not read, and types that have no locale form, stay as
// they are. DATE, TIME and NOW (any case) become CURRENT_DATE, CURRENT_TIME, CURRENT_TIMESTAMP.
std::string ConvertExpressionToAnsi(const std::string& text, std::uint8_t dataType);

// "1.00", "1.02", "1.04", "1.08", "2.00", "3.00" for table versions 0 .. 5; "" otherwise.
std::string VersionToStr(std::uint8_t version);

}  // namespace korvel
