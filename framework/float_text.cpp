#include "framework/float_text.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "framework/exceptions.h"
#include "framework/format_settings.h"

namespace korvel {

std::string FloatToStr(double value, char decimalSeparator) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
  if (value == 0) return "0";
  // Shortest round-trip digits in scientific form: [-]d[.ddd]e[+-]xx
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  std::string sci(buffer, result.ptr);
  bool negative = sci[0] == '-';
  if (negative) sci.erase(0, 1);
  std::size_t e = sci.find('e');
  int exponent = std::atoi(sci.c_str() + e + 1);
  std::string digits;
  for (std::size_t i = 0; i < e; ++i)
    if (sci[i] != '.') digits += sci[i];
  std::string out = negative ? "-" : "";
  if (exponent >= 15 || exponent < -5) {
    out += digits[0];
    if (digits.size() > 1) {
      out += decimalSeparator;
      out.append(digits, 1, std::string::npos);
    }
    out += 'E';
    out += std::to_string(exponent);
    return out;
  }
  if (exponent < 0) {
    out += '0';
    out += decimalSeparator;
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += digits;
    return out;
  }
  std::size_t intDigits = static_cast<std::size_t>(exponent) + 1;
  if (digits.size() <= intDigits) {
    out += digits;
    out.append(intDigits - digits.size(), '0');
  } else {
    out.append(digits, 0, intDigits);
    out += decimalSeparator;
    out.append(digits, intDigits, std::string::npos);
  }
  return out;
}

bool TryStrToFloat(const std::string& text, double& value, char decimalSeparator) {
  std::size_t b = 0, e = text.size();
  while (b < e && text[b] == ' ') ++b;
  while (e > b && text[e - 1] == ' ') --e;
  if (b == e) return false;
  // Normalise into a C-locale text, checking the shape as we go.
  std::string t;
  std::size_t i = b;
  if (text[i] == '+' || text[i] == '-') t += text[i++];
  std::string rest = text.substr(i, e - i);
  if (strcasecmp(rest.c_str(), "INF") == 0) {
    value = t == "-" ? -HUGE_VAL : HUGE_VAL;
    return true;
  }
  if (strcasecmp(rest.c_str(), "NAN") == 0 && t.empty()) {
    value = std::nan("");
    return true;
  }
  bool digits = false, point = false;
  for (; i < e; ++i) {
    char c = text[i];
    if (c >= '0' && c <= '9') {
      digits = true;
      t += c;
    } else if (c == decimalSeparator && !point) {
      point = true;
      t += '.';
    } else {
      break;
    }
  }
  if (!digits) return false;
  if (i < e && (text[i] == 'E' || text[i] == 'e')) {
    t += 'e';
    ++i;
    if (i < e && (text[i] == '+' || text[i] == '-')) t += text[i++];
    bool expDigits = false;
    for (; i < e && text[i] >= '0' && text[i] <= '9'; ++i) {
      t += text[i];
      expDigits = true;
    }
    if (!expDigits) return false;
  }
  if (i != e) return false;
  const char* first = t.c_str();
  if (*first == '+') ++first;
  double v = 0;
  auto r = std::from_chars(first, t.c_str() + t.size(), v);
  if (r.ec == std::errc::result_out_of_range) {
    // Overflow is an error; underflow reads as zero of the right sign.
    v = std::strtod(first, nullptr);
    if (std::isinf(v)) return false;
  } else if (r.ec != std::errc() || r.ptr != t.c_str() + t.size()) {
    return false;
  }
  value = v;
  return true;
}

double StrToFloat(const std::string& text, char decimalSeparator) {
  double v = 0;
  if (!TryStrToFloat(text, v, decimalSeparator))
    throw EConvertError("'" + text + "' is not a valid floating point value");
  return v;
}

std::string FloatToStrLocale(double value) { return FloatToStr(value, CurrentDecimalSeparator()); }

double StrToFloatLocale(const std::string& text) {
  return StrToFloat(text, CurrentDecimalSeparator());
}

}  // namespace korvel
