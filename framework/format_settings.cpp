#include "framework/format_settings.h"

#include <mutex>

namespace korvel {

const std::array<const char*, 12> kEnglishShortMonthNames = {
    "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const std::array<const char*, 12> kEnglishLongMonthNames = {
    "January", "February", "March",     "April",   "May",      "June",
    "July",    "August",   "September", "October", "November", "December"};
const std::array<const char*, 7> kEnglishShortDayNames = {"Sun", "Mon", "Tue", "Wed",
                                                          "Thu", "Fri", "Sat"};
const std::array<const char*, 7> kEnglishLongDayNames = {
    "Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};

namespace {

std::mutex& SettingsLock() {
  static std::mutex lock;
  return lock;
}

TFormatSettings& Current() {
  static TFormatSettings settings = DefaultFormatSettings();
  return settings;
}

}  // namespace

void SetEnglishNames(TLanguageSettings& s) {
  for (int i = 0; i < 12; ++i) {
    s.ShortMonthNames[i] = kEnglishShortMonthNames[i];
    s.LongMonthNames[i] = kEnglishLongMonthNames[i];
  }
  for (int i = 0; i < 7; ++i) {
    s.ShortDayNames[i] = kEnglishShortDayNames[i];
    s.LongDayNames[i] = kEnglishLongDayNames[i];
  }
}

TLanguageSettings FixedLanguageSettings() {
  TLanguageSettings s;
  s.CurrencyString = "";
  s.CurrencyFormat = 0;
  s.NegCurrFormat = 0;
  s.ThousandSeparator = ',';
  s.DecimalSeparator = '.';
  s.CurrencyDecimals = 2;
  s.DateSeparator = '-';
  s.ShortDateFormat = "yyyy-mm-dd";
  s.LongDateFormat = "dddd, mmmm dd, yyyy";
  s.TimeSeparator = ':';
  s.TimeAMString = "AM";
  s.TimePMString = "PM";
  s.ShortTimeFormat = "hh:mm";
  s.LongTimeFormat = "hh:mm:ss";
  SetEnglishNames(s);
  return s;
}

TFormatSettings DefaultFormatSettings() {
  TFormatSettings s;
  static_cast<TLanguageSettings&>(s) = FixedLanguageSettings();
  s.TwoDigitYearCenturyWindow = 50;
  return s;
}

TFormatSettings GetFormatSettings() {
  std::lock_guard<std::mutex> guard(SettingsLock());
  return Current();
}

void SetFormatSettings(const TFormatSettings& settings) {
  std::lock_guard<std::mutex> guard(SettingsLock());
  Current() = settings;
}

char CurrentDecimalSeparator() {
  std::lock_guard<std::mutex> guard(SettingsLock());
  return Current().DecimalSeparator;
}

char CurrentDateSeparator() {
  std::lock_guard<std::mutex> guard(SettingsLock());
  return Current().DateSeparator;
}

char CurrentTimeSeparator() {
  std::lock_guard<std::mutex> guard(SettingsLock());
  return Current().TimeSeparator;
}

int CurrentTwoDigitYearCenturyWindow() {
  std::lock_guard<std::mutex> guard(SettingsLock());
  return Current().TwoDigitYearCenturyWindow;
}

}  // namespace korvel
