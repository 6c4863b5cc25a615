#pragma once
// General float text: the shortest decimal text that reads back to the same double. Fixed
// notation while the decimal exponent lies in -5..14, scientific ("1.5E-7", "1E20") outside;
// "NAN", "INF" and "-INF" for the special values. The parser accepts an optional sign, digits
// with one decimal separator, and an optional exponent (E, e, with sign), blanks around.

#include <string>

namespace korvel {

std::string FloatToStr(double value, char decimalSeparator = '.');
bool TryStrToFloat(const std::string& text, double& value, char decimalSeparator = '.');
// Throws EConvertError "'<text>' is not a valid floating point value".
double StrToFloat(const std::string& text, char decimalSeparator = '.');
// The same with the current format settings' decimal separator.
std::string FloatToStrLocale(double value);
double StrToFloatLocale(const std::string& text);

}  // namespace korvel
