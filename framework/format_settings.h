#pragma once
// The process-wide format settings: the separators, formats and names that the locale-dependent
// text conversions (dates, times, numbers, currency) read. One set exists per process; it is
// copied in and out under one lock, so a reader never sees half of a swap.

#include <array>
#include <string>

namespace korvel {

// The locale part of the format settings; also the record that language settings are exchanged
// in (a table's own locale can be installed for a while and the previous one put back).
struct TLanguageSettings {
  std::string CurrencyString;
  unsigned char CurrencyFormat = 0;  // 0 "$1", 1 "1$", 2 "$ 1", 3 "1 $"
  unsigned char NegCurrFormat = 0;   // 0 "($1)" ... 15, the usual sixteen negative layouts
  char ThousandSeparator = ',';
  char DecimalSeparator = '.';
  unsigned char CurrencyDecimals = 2;
  char DateSeparator = '-';
  std::string ShortDateFormat;
  std::string LongDateFormat;
  char TimeSeparator = ':';
  std::string TimeAMString;
  std::string TimePMString;
  std::string ShortTimeFormat;
  std::string LongTimeFormat;
  std::array<std::string, 12> ShortMonthNames;  // [0] = January
  std::array<std::string, 12> LongMonthNames;
  std::array<std::string, 7> ShortDayNames;  // [0] = Sunday
  std::array<std::string, 7> LongDayNames;
};

struct TFormatSettings : TLanguageSettings {
  // A two-digit year is placed within this many years before the current year (0: always in
  // the current century).
  int TwoDigitYearCenturyWindow = 50;
};

// The fixed settings without a language: ISO dates ("yyyy-mm-dd"), 24-hour times, "." and ",",
// English names.
TLanguageSettings FixedLanguageSettings();
// Puts the English month and day names into the settings.
void SetEnglishNames(TLanguageSettings& settings);
// The settings a process starts with: the fixed settings and a two-digit-year window of 50.
// Deterministic: nothing is read from the environment.
TFormatSettings DefaultFormatSettings();

// A copy of the current settings / install new ones (each under the settings lock).
TFormatSettings GetFormatSettings();
void SetFormatSettings(const TFormatSettings& settings);
// Cheap reads of single fields that hot conversions need.
char CurrentDecimalSeparator();
char CurrentDateSeparator();
char CurrentTimeSeparator();
int CurrentTwoDigitYearCenturyWindow();

extern const std::array<const char*, 12> kEnglishShortMonthNames;
extern const std::array<const char*, 12> kEnglishLongMonthNames;
extern const std::array<const char*, 7> kEnglishShortDayNames;
extern const std::array<const char*, 7> kEnglishLongDayNames;

}  // namespace korvel
