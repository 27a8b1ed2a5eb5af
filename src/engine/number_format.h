// How numbers and byte sizes are written for the user.
#pragma once

#include <cstdint>
#include <string>

namespace twinbay {

// How numbers are written: the decimal separator, the thousands separator, the
// size of a digit group (0: no grouping) and the number of decimals the locale
// shows by default.
struct NumberFormat {
  std::string decimalSeparator = ".";
  std::string thousandsSeparator = ",";
  int grouping = 3;
  int localeDecimals = 2;

  // The user's locale (LC_NUMERIC of the environment); "." and no grouping
  // where the locale says nothing.
  static NumberFormat FromUserLocale();
};

// The value with the locale's grouping, rounded to the locale's decimals, then
// cut to `decimals` digits after the separator (none at all for 0).
std::string FormatNumber(double value, int decimals, const NumberFormat& format);
std::string FormatNumber(double value, int decimals);

// "0KB ", "1KB ", "1,024KB ", "1.00MB ", "2.50GB ": always one trailing blank.
std::string FormatSize(double bytes, const NumberFormat& format);
std::string FormatSize(double bytes);

// A rate in bytes a second as the user writes it: a whole or decimal number,
// optionally followed by K, M or G (1024, 1024², 1024³; "B" and "/s" may
// follow). False for anything else, or a rate of 0 or beyond 2^53.
bool ParseByteRate(const std::string& text, uint64_t& bytesPerSecond);

}  // namespace twinbay
