#include "tools/QuorvexLumenPlug/options.h"

#include <stdio.h>

#include <stdlib.h>

#include <cmath>
#include <numeric>

namespace lumenplug {

namespace {

constexpr uint32_t kMaxSide = 65535;
constexpr double kMaxSeconds = 366.0 * 24 * 3600;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A decimal number of digits only (no sign, no blanks) up to `limit`.
bool ParseDecimal(const std::string& text, uint64_t limit, uint64_t* value) {
  if (text.empty() || text.size() > 19) return false;
  uint64_t result = 0;
  for (char c : text) {
    if (!IsDigit(c)) return false;
    result = result * 10 + static_cast<uint64_t>(c - '0');
  }
  if (result > limit) return false;
  *value = result;
  return true;
}

// Reduces the fraction and checks that it fits the 32-bit fields.
bool SetReduced(uint64_t numerator, uint64_t denominator, FrameRate* rate) {
  const uint64_t divisor = std::gcd(numerator, denominator);
  numerator /= divisor;
  denominator /= divisor;
  if (numerator > UINT32_MAX || denominator > UINT32_MAX) return false;
  rate->numerator = static_cast<uint32_t>(numerator);
  rate->denominator = static_cast<uint32_t>(denominator);
  return true;
}

}  // namespace

int64_t FrameStartNs(const FrameRate& rate, uint64_t index) {
  // 128-bit: index x denominator x 10^9 overflows 64 bits after a few days
  // at slow rates.
  const unsigned __int128 ns =
      static_cast<unsigned __int128>(index) * rate.denominator * 1000000000u / rate.numerator;
  return ns > INT64_MAX ? INT64_MAX : static_cast<int64_t>(ns);
}

bool FrameRateInBounds(const FrameRate& rate, std::string* error) {
  // In 64 bits: both sides are products of 32-bit values and small bounds.
  if (rate.numerator == 0 || rate.denominator == 0) {
    *error = "must be above 0 frames per second";
    return false;
  }
  if (rate.numerator > kMaxFramesPerSecond * rate.denominator) {
    *error = "must be at most " + std::to_string(kMaxFramesPerSecond) + " frames per second";
    return false;
  }
  if (uint64_t{rate.numerator} * 60 < kMinFramesPerMinute * rate.denominator) {
    *error = "must be at least one frame a minute";
    return false;
  }
  return true;
}

bool ParseFrameRate(const std::string& text, FrameRate* rate, std::string* error) {
  const std::string wanted =
      "wants frames per second, e.g. 30, 29.97 or 30000/1001; got \"" + text + "\"";
  const size_t slash = text.find_first_of("/:");
  uint64_t numerator = 0;
  uint64_t denominator = 1;
  if (slash != std::string::npos) {
    if (!ParseDecimal(text.substr(0, slash), UINT32_MAX, &numerator) ||
        !ParseDecimal(text.substr(slash + 1), UINT32_MAX, &denominator)) {
      *error = wanted;
      return false;
    }
  } else {
    const size_t point = text.find('.');
    const std::string whole = text.substr(0, point);
    const std::string fraction = point == std::string::npos ? "" : text.substr(point + 1);
    uint64_t fraction_value = 0;
    if (!ParseDecimal(whole, kMaxFramesPerSecond * 10, &numerator) || fraction.size() > 6 ||
        (point != std::string::npos && !ParseDecimal(fraction, UINT32_MAX, &fraction_value))) {
      *error = wanted;
      return false;
    }
    for (size_t i = 0; i < fraction.size(); ++i) denominator *= 10;
    numerator = numerator * denominator + fraction_value;
  }
  if (numerator == 0 || denominator == 0) {
    *error = "must be above 0 frames per second; got \"" + text + "\"";
    return false;
  }
  if (numerator > kMaxFramesPerSecond * denominator) {
    *error = "must be at most 1000 frames per second; got \"" + text + "\"";
    return false;
  }
  if (!SetReduced(numerator, denominator, rate)) {
    *error = wanted;
    return false;
  }
  if (!FrameRateInBounds(*rate, error)) {
    *error += "; got \"" + text + "\"";
    return false;
  }
  return true;
}

std::string DescribeFrameRate(const FrameRate& rate) {
  char text[64];
  if (rate.denominator == 1) {
    snprintf(text, sizeof(text), "%u", rate.numerator);
  } else if (1000000 % rate.denominator == 0) {
    // A decimal fraction such as 2997/100: write it the way it was typed.
    snprintf(text, sizeof(text), "%.6g", static_cast<double>(rate.numerator) / rate.denominator);
  } else {
    snprintf(text, sizeof(text), "%u/%u", rate.numerator, rate.denominator);
  }
  return text;
}

bool ParseSize(const std::string& text, uint32_t* width, uint32_t* height, std::string* error) {
  const size_t x = text.find_first_of("xX");
  uint64_t w = 0;
  uint64_t h = 0;
  if (x == std::string::npos || !ParseDecimal(text.substr(0, x), kMaxSide, &w) ||
      !ParseDecimal(text.substr(x + 1), kMaxSide, &h) || w == 0 || h == 0) {
    *error = "wants WIDTHxHEIGHT with sides from 1 to 65535, e.g. 640x480; got \"" + text + "\"";
    return false;
  }
  *width = static_cast<uint32_t>(w);
  *height = static_cast<uint32_t>(h);
  return true;
}

bool ParseCount(const std::string& text, uint64_t* count, std::string* error) {
  uint64_t value = 0;
  if (!ParseDecimal(text, UINT64_MAX / 2, &value) || value == 0) {
    *error = "wants a whole number from 1 up; got \"" + text + "\"";
    return false;
  }
  *count = value;
  return true;
}

bool ParseSeconds(const std::string& text, double* seconds, std::string* error) {
  const std::string wanted =
      "wants a number of seconds above 0, e.g. 5 or 2.5; got \"" + text + "\"";
  const size_t point = text.find('.');
  uint64_t ignored = 0;
  const std::string whole = text.substr(0, point);
  const std::string fraction = point == std::string::npos ? "" : text.substr(point + 1);
  // Digits only on both sides of an optional point, at least one of them.
  const bool whole_ok = whole.empty() || ParseDecimal(whole, UINT64_MAX / 2, &ignored);
  const bool fraction_ok = fraction.empty() || ParseDecimal(fraction, UINT64_MAX / 2, &ignored);
  if (!whole_ok || !fraction_ok || (whole.empty() && fraction.empty())) {
    *error = wanted;
    return false;
  }
  const double value = strtod(text.c_str(), nullptr);
  if (!(value > 0) || value > kMaxSeconds) {
    *error = wanted;
    return false;
  }
  *seconds = value;
  return true;
}

}  // namespace lumenplug
