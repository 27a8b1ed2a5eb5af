#include "engine/number_format.h"

#include <cctype>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <langinfo.h>
#include <locale.h>


namespace twinbay {

NumberFormat NumberFormat::FromUserLocale() {
  NumberFormat f;
  f.thousandsSeparator.clear();
  f.grouping = 0;
  locale_t loc = newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(0));
  if (loc == static_cast<locale_t>(0)) return f;
  const char* radix = nl_langinfo_l(RADIXCHAR, loc);
  const char* thousands = nl_langinfo_l(THOUSEP, loc);
  if (radix && *radix) f.decimalSeparator = radix;
  if (thousands && *thousands) {
    f.thousandsSeparator = thousands;
    f.grouping = 3;
  }
  freelocale(loc);
  return f;
}

std::string FormatNumber(double value, int decimals, const NumberFormat& format) {
  if (!std::isfinite(value)) return "0";
  const int shown = format.localeDecimals < 0 ? 0 : format.localeDecimals;
  char buf[400];
  std::snprintf(buf, sizeof buf, "%.*f", shown, value);
  std::string digits = buf;
  bool negative = false;
  if (!digits.empty() && digits[0] == '-') {
    negative = true;
    digits.erase(0, 1);
  }
  const size_t dot = digits.find('.');
  std::string whole = digits.substr(0, dot);
  const std::string fraction = dot == std::string::npos ? std::string() : digits.substr(dot + 1);

  std::string grouped;
  if (format.grouping > 0 && !format.thousandsSeparator.empty()) {
    const size_t n = whole.size();
    for (size_t i = 0; i < n; ++i) {
      grouped += whole[i];
      const size_t left = n - 1 - i;
      if (left > 0 && left % static_cast<size_t>(format.grouping) == 0) grouped += format.thousandsSeparator;
    }
  } else {
    grouped = whole;
  }
  std::string out = negative && (whole != "0" || fraction.find_first_not_of('0') != std::string::npos)
                        ? "-" + grouped
                        : grouped;
  if (decimals > 0 && !fraction.empty())
    out += format.decimalSeparator + fraction.substr(0, static_cast<size_t>(decimals));
  return out;
}

std::string FormatNumber(double value, int decimals) {
  return FormatNumber(value, decimals, NumberFormat::FromUserLocale());
}

std::string FormatSize(double bytes, const NumberFormat& format) {
  const double kb = bytes / 1024, mb = kb / 1024, gb = mb / 1024;
  if (gb >= 1) return FormatNumber(gb, 2, format) + "GB ";
  if (mb >= 1) return FormatNumber(mb, 2, format) + "MB ";
  if (kb > 0) return FormatNumber(std::ceil(kb), 0, format) + "KB ";
  return "0KB ";
}

std::string FormatSize(double bytes) { return FormatSize(bytes, NumberFormat::FromUserLocale()); }

bool ParseByteRate(const std::string& text, uint64_t& bytesPerSecond) {
  size_t end = 0;
  while (end < text.size() && (std::isdigit(static_cast<unsigned char>(text[end])) || text[end] == '.')) ++end;
  if (end == 0 || text.find('.') != text.rfind('.') || text[0] == '.') return false;
  double value = std::strtod(text.substr(0, end).c_str(), nullptr);
  std::string unit = text.substr(end);
  for (char& c : unit) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (unit.size() >= 2 && unit.compare(unit.size() - 2, 2, "/S") == 0) unit.resize(unit.size() - 2);
  if (!unit.empty() && unit.back() == 'B') unit.pop_back();
  const std::string prefixes = "KMG";
  if (unit.size() > 1 || (unit.size() == 1 && prefixes.find(unit[0]) == std::string::npos)) return false;
  if (!unit.empty()) value *= static_cast<double>(1ull << (10 * (prefixes.find(unit[0]) + 1)));
  if (!(value >= 1) || value > 9007199254740992.0) return false;
  bytesPerSecond = static_cast<uint64_t>(value);
  return true;
}

}  // namespace twinbay
