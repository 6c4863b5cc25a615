#include "framework/currency_bcd.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "framework/exceptions.h"
#include "framework/float_text.h"

namespace korvel {

namespace {

// An exact decimal: (digits as an integer) x 10^exponent, negated when negative.
// digits holds no leading zeros; empty means zero.
struct Decimal {
  bool negative = false;
  std::string digits;
  int exponent = 0;

  void Normalise() {
    std::size_t z = 0;
    while (z < digits.size() && digits[z] == '0') ++z;
    digits.erase(0, z);
    while (!digits.empty() && digits.back() == '0') {
      digits.pop_back();
      ++exponent;
    }
    if (digits.empty()) {
      exponent = 0;
      negative = false;
    }
  }
};

bool ParseDecimal(const std::string& text, char sep, Decimal& d) {
  std::size_t i = 0, e = text.size();
  while (i < e && text[i] == ' ') ++i;
  while (e > i && text[e - 1] == ' ') --e;
  if (i < e && (text[i] == '+' || text[i] == '-')) d.negative = text[i++] == '-';
  bool any = false, point = false;
  int fraction = 0;
  for (; i < e; ++i) {
    char c = text[i];
    if (c >= '0' && c <= '9') {
      any = true;
      if (d.digits.size() < 400) {
        d.digits += c;
        if (point) ++fraction;
      } else if (!point) {
        return false;  // absurdly long integer part
      }
    } else if (c == sep && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (!any) return false;
  long exp = 0;
  if (i < e && (text[i] == 'E' || text[i] == 'e')) {
    ++i;
    bool neg = false;
    if (i < e && (text[i] == '+' || text[i] == '-')) neg = text[i++] == '-';
    bool expDigits = false;
    for (; i < e && text[i] >= '0' && text[i] <= '9'; ++i) {
      expDigits = true;
      if (exp < 100000) exp = exp * 10 + (text[i] - '0');
    }
    if (!expDigits) return false;
    if (neg) exp = -exp;
  }
  if (i != e) return false;
  d.exponent = static_cast<int>(exp) - fraction;
  d.Normalise();
  return true;
}

// The decimal scaled by 10^scale and rounded half away from zero into an int64.
bool DecimalToScaledInt(const Decimal& d, int scale, std::int64_t& out) {
  if (d.digits.empty()) {
    out = 0;
    return true;
  }
  long shift = static_cast<long>(d.exponent) + scale;
  std::string digits = d.digits;
  bool roundUp = false;
  if (shift >= 0) {
    if (shift > 20) return false;
    digits.append(static_cast<std::size_t>(shift), '0');
  } else {
    std::size_t drop = static_cast<std::size_t>(-shift);
    if (drop > digits.size()) {
      out = 0;
      return true;
    }
    roundUp = digits[digits.size() - drop] >= '5';
    digits.resize(digits.size() - drop);
  }
  if (digits.size() > 19) return false;
  unsigned long long magnitude = 0;
  for (char c : digits) magnitude = magnitude * 10 + static_cast<unsigned>(c - '0');
  if (roundUp) ++magnitude;
  if (d.negative) {
    if (magnitude > 9223372036854775808ULL) return false;
    out = magnitude == 9223372036854775808ULL ? INT64_MIN
                                              : -static_cast<std::int64_t>(magnitude);
  } else {
    if (magnitude > 9223372036854775807ULL) return false;
    out = static_cast<std::int64_t>(magnitude);
  }
  return true;
}

Decimal CurrencyDecimal(Currency value) {
  Decimal d;
  d.negative = value.Raw < 0;
  unsigned long long m = d.negative ? 0ULL - static_cast<unsigned long long>(value.Raw)
                                    : static_cast<unsigned long long>(value.Raw);
  d.digits = std::to_string(m);
  d.exponent = -4;
  d.Normalise();
  return d;
}

std::string DecimalToText(const Decimal& d, char sep) {
  if (d.digits.empty()) return "0";
  std::string out = d.negative ? "-" : "";
  if (d.exponent >= 0) {
    out += d.digits;
    out.append(static_cast<std::size_t>(d.exponent), '0');
    return out;
  }
  std::size_t frac = static_cast<std::size_t>(-d.exponent);
  if (frac >= d.digits.size()) {
    out += '0';
    out += sep;
    out.append(frac - d.digits.size(), '0');
    out += d.digits;
  } else {
    out.append(d.digits, 0, d.digits.size() - frac);
    out += sep;
    out.append(d.digits, d.digits.size() - frac, std::string::npos);
  }
  return out;
}

bool DecimalToBcd(const Decimal& d, TBcd& bcd) {
  TBcd r;
  if (!d.digits.empty()) {
    std::string digits = d.digits;
    int scale = 0;
    if (d.exponent >= 0) {
      digits.append(static_cast<std::size_t>(d.exponent), '0');
    } else {
      scale = -d.exponent;
      if (static_cast<std::size_t>(scale) > digits.size())
        digits.insert(0, static_cast<std::size_t>(scale) - digits.size(), '0');
    }
    if (digits.size() > TBcd::kMaxDigits || scale > 63) return false;
    r.Precision = static_cast<std::uint8_t>(digits.size());
    r.SignSpecialPlaces = static_cast<std::uint8_t>(scale | (d.negative ? 0x80 : 0));
    for (std::size_t i = 0; i < digits.size(); ++i) r.SetDigit(static_cast<int>(i), digits[i] - '0');
  }
  bcd = r;
  return true;
}

bool BcdToDecimal(const TBcd& bcd, Decimal& d) {
  d = Decimal{};
  if (bcd.Precision == 0) return true;
  if (bcd.Precision > TBcd::kMaxDigits || bcd.Scale() > bcd.Precision) return false;
  for (int i = 0; i < bcd.Precision; ++i) {
    int digit = bcd.Digit(i);
    if (digit > 9) return false;
    d.digits += static_cast<char>('0' + digit);
  }
  d.negative = bcd.Negative();
  d.exponent = -bcd.Scale();
  d.Normalise();
  return true;
}

// Rounds to `decimals` places once, halves away from zero, from the exact digits.
void RoundDecimal(Decimal& d, int decimals) {
  if (d.digits.empty() || d.exponent >= -decimals) return;
  const std::size_t drop = static_cast<std::size_t>(-d.exponent - decimals);
  if (drop > d.digits.size()) {
    d = Decimal{};  // below a half of the last place
    return;
  }
  const bool up = d.digits[d.digits.size() - drop] >= '5';
  d.digits.resize(d.digits.size() - drop);
  d.exponent = -decimals;
  if (up) {
    std::size_t i = d.digits.size();
    while (i > 0 && d.digits[i - 1] == '9') d.digits[--i] = '0';
    if (i == 0) d.digits.insert(0, 1, '1');
    else ++d.digits[i - 1];
  }
  d.Normalise();
}

// The decimal as a record of `precision` digits (leading zeros included) and scale `decimals`;
// false when a digit would be lost.
bool DecimalToFixedBcd(const Decimal& d, int precision, int decimals, TBcd& bcd) {
  if (precision < 1 || precision > static_cast<int>(TBcd::kMaxDigits) || decimals < 0 ||
      decimals > precision || decimals > 63)
    return false;
  std::string digits = d.digits;
  if (!digits.empty()) {
    const long shift = static_cast<long>(d.exponent) + decimals;
    if (shift < 0) return false;  // more decimals than the scale holds
    if (shift > precision) return false;
    digits.append(static_cast<std::size_t>(shift), '0');
  }
  if (digits.size() > static_cast<std::size_t>(precision)) return false;
  digits.insert(0, static_cast<std::size_t>(precision) - digits.size(), '0');
  TBcd r;
  r.Precision = static_cast<std::uint8_t>(precision);
  r.SignSpecialPlaces = static_cast<std::uint8_t>(decimals | (d.negative && !d.digits.empty() ? 0x80 : 0));
  for (std::size_t i = 0; i < digits.size(); ++i) r.SetDigit(static_cast<int>(i), digits[i] - '0');
  bcd = r;
  return true;
}

}  // namespace

double CurrToDouble(Currency value) { return static_cast<double>(value.Raw) / Currency::kScale; }

bool TryDoubleToCurr(double value, Currency& result) {
  if (std::isnan(value)) return false;
  double scaled = std::round(value * Currency::kScale);
  if (!(scaled >= -9223372036854775808.0 && scaled < 9223372036854775808.0)) return false;
  result.Raw = static_cast<std::int64_t>(scaled);
  return true;
}

Currency DoubleToCurr(double value) {
  Currency c;
  if (!TryDoubleToCurr(value, c)) throw EConvertError("Floating point value out of currency range");
  return c;
}

std::string CurrToStr(Currency value, char decimalSeparator) {
  return DecimalToText(CurrencyDecimal(value), decimalSeparator);
}

bool TryStrToCurr(const std::string& text, Currency& value, char decimalSeparator) {
  Decimal d;
  std::int64_t raw = 0;
  if (!ParseDecimal(text, decimalSeparator, d) || !DecimalToScaledInt(d, 4, raw)) return false;
  value.Raw = raw;
  return true;
}

Currency StrToCurr(const std::string& text, char decimalSeparator) {
  Currency c;
  if (!TryStrToCurr(text, c, decimalSeparator))
    throw EConvertError("'" + text + "' is not a valid floating point value");
  return c;
}

void TBcd::SetDigit(int i, int d) {
  std::uint8_t& b = Fraction[i / 2];
  if (i & 1)
    b = static_cast<std::uint8_t>((b & 0xF0) | (d & 0x0F));
  else
    b = static_cast<std::uint8_t>((b & 0x0F) | ((d & 0x0F) << 4));
}

void TBcd::ToBytes(void* destination) const {
  auto* p = static_cast<std::uint8_t*>(destination);
  p[0] = Precision;
  p[1] = SignSpecialPlaces;
  std::memcpy(p + 2, Fraction.data(), Fraction.size());
}

TBcd TBcd::FromBytes(const void* source) {
  const auto* p = static_cast<const std::uint8_t*>(source);
  TBcd b;
  b.Precision = p[0];
  b.SignSpecialPlaces = p[1];
  std::memcpy(b.Fraction.data(), p + 2, b.Fraction.size());
  return b;
}

bool CurrToBCD(Currency value, TBcd& bcd, int precision, int decimals) {
  decimals = std::clamp(decimals, 0, 4);
  Decimal d = CurrencyDecimal(value);
  RoundDecimal(d, decimals);
  return DecimalToFixedBcd(d, precision, decimals, bcd);
}

bool RoundBcd(const TBcd& value, int decimals, TBcd& result, int precision) {
  Decimal d;
  if (!BcdToDecimal(value, d)) return false;
  RoundDecimal(d, decimals);
  return DecimalToFixedBcd(d, precision, decimals, result);
}

bool Int64ToBCD(std::int64_t value, TBcd& bcd, int precision, int decimals) {
  Decimal d;
  d.negative = value < 0;
  d.digits = std::to_string(d.negative ? 0ULL - static_cast<unsigned long long>(value)
                                       : static_cast<unsigned long long>(value));
  d.Normalise();
  return DecimalToFixedBcd(d, precision, decimals, bcd);
}

bool TryStrToBcd(const std::string& text, TBcd& bcd, int precision, int decimals, char decimalSeparator) {
  Decimal d;
  if (!ParseDecimal(text, decimalSeparator, d)) return false;
  RoundDecimal(d, decimals);
  return DecimalToFixedBcd(d, precision, decimals, bcd);
}

bool DoubleToBcd(double value, TBcd& bcd, int precision, int decimals) {
  if (!std::isfinite(value)) return false;
  Decimal d;
  if (!ParseDecimal(FloatToStr(value), '.', d)) return false;
  RoundDecimal(d, decimals);
  return DecimalToFixedBcd(d, precision, decimals, bcd);
}

bool BCDToCurr(const TBcd& bcd, Currency& value) {
  Decimal d;
  std::int64_t raw = 0;
  if (!BcdToDecimal(bcd, d) || !DecimalToScaledInt(d, 4, raw)) return false;
  value.Raw = raw;
  return true;
}

std::string BcdToStr(const TBcd& bcd, char decimalSeparator) {
  Decimal d;
  if (!BcdToDecimal(bcd, d)) return "0";
  return DecimalToText(d, decimalSeparator);
}

bool TryStrToBcd(const std::string& text, TBcd& bcd, char decimalSeparator) {
  Decimal d;
  return ParseDecimal(text, decimalSeparator, d) && DecimalToBcd(d, bcd);
}

TBcd StrToBcd(const std::string& text, char decimalSeparator) {
  TBcd b;
  if (!TryStrToBcd(text, b, decimalSeparator))
    throw EConvertError("'" + text + "' is not a valid BCD value");
  return b;
}

double BcdToDouble(const TBcd& bcd) {
  double v = 0;
  TryStrToFloat(BcdToStr(bcd), v);
  return v;
}

bool DoubleToBcd(double value, TBcd& bcd) {
  if (!std::isfinite(value)) return false;
  Decimal d;
  return ParseDecimal(FloatToStr(value), '.', d) && DecimalToBcd(d, bcd);
}

int BcdCompare(const TBcd& a, const TBcd& b) {
  Decimal x, y;
  BcdToDecimal(a, x);
  BcdToDecimal(b, y);
  auto sign = [](const Decimal& d) { return d.digits.empty() ? 0 : (d.negative ? -1 : 1); };
  int sx = sign(x), sy = sign(y);
  if (sx != sy) return sx < sy ? -1 : 1;
  if (sx == 0) return 0;
  // Same sign: compare magnitudes by the position of the leading digit, then digit by digit.
  long mx = static_cast<long>(x.digits.size()) + x.exponent;
  long my = static_cast<long>(y.digits.size()) + y.exponent;
  int mag = 0;
  if (mx != my) {
    mag = mx < my ? -1 : 1;
  } else {
    std::size_t n = std::max(x.digits.size(), y.digits.size());
    for (std::size_t i = 0; i < n && mag == 0; ++i) {
      char cx = i < x.digits.size() ? x.digits[i] : '0';
      char cy = i < y.digits.size() ? y.digits[i] : '0';
      if (cx != cy) mag = cx < cy ? -1 : 1;
    }
  }
  return sx < 0 ? -mag : mag;
}

}  // namespace korvel
