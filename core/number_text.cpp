// SPDX-License-Identifier: GPL-3.0-or-later
#include "number_text.h"

#include <array>
#include <cstdint>

namespace core {

namespace {

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}
bool isDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
  return s;
}

// Reads an optionally signed decimal exponent, saturating far beyond any value that matters.
bool readExponent(std::string_view s, long& exponent) {
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return false;
  long value = 0;
  for (char c : s) {
    if (!isDigit(c)) return false;
    if (value < 1'000'000) value = value * 10 + (c - '0');
  }
  exponent = negative ? -value : value;
  return true;
}

// The magnitude of the decimal digits with the point after `pointAt` of them (negative: zeros
// before them), rounded to the nearest whole number, a half to the even one. Nothing when it
// reaches 100000: no 16-bit number is that large.
std::optional<long> roundHalfEven(std::string digits, long pointAt) {
  // Drop leading zeros; the decimal point then stands after `whole` digits of `digits`.
  std::size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return 0;
  digits.erase(0, first);
  const long whole = pointAt - static_cast<long>(first);
  if (whole > 5) return std::nullopt;  // at least 100000

  long value = 0;
  for (long i = 0; i < whole; ++i)
    value = value * 10 + (i < static_cast<long>(digits.size()) ? digits[i] - '0' : 0);

  // Rounding from the first fraction digit and whether anything follows it.
  int firstFraction = 0;
  bool restNonZero = false;
  if (whole >= 0) {
    if (whole < static_cast<long>(digits.size())) {
      firstFraction = digits[whole] - '0';
      restNonZero = digits.find_first_not_of('0', whole + 1) != std::string::npos;
    }
  } else {
    restNonZero = true;  // the fraction starts with a zero, then the (non-zero) digits
  }
  if (firstFraction > 5 || (firstFraction == 5 && (restNonZero || value % 2 == 1))) ++value;
  return value;
}

}  // namespace

std::optional<std::int16_t> parseWholeNumber16(std::string_view text,
                                               std::string_view decimalSeparator) {
  std::string_view s = trim(text);
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }

  // Mantissa: digits, then at most one separator, then digits.
  std::string digits;
  long integerDigits = -1;  // digits before the separator; -1 while none has been seen
  while (!s.empty()) {
    if (isDigit(s.front())) {
      digits += s.front();
      s.remove_prefix(1);
    } else if (integerDigits < 0 && s.front() == '.') {
      integerDigits = static_cast<long>(digits.size());
      s.remove_prefix(1);
    } else if (integerDigits < 0 && !decimalSeparator.empty() &&
               s.substr(0, decimalSeparator.size()) == decimalSeparator) {
      integerDigits = static_cast<long>(digits.size());
      s.remove_prefix(decimalSeparator.size());
    } else {
      break;
    }
  }
  if (digits.empty()) return std::nullopt;
  if (integerDigits < 0) integerDigits = static_cast<long>(digits.size());

  long exponent = 0;
  if (!s.empty()) {
    if (s.front() != 'e' && s.front() != 'E') return std::nullopt;
    if (!readExponent(s.substr(1), exponent)) return std::nullopt;
  }

  const auto magnitude = roundHalfEven(digits, integerDigits + exponent);
  if (!magnitude) return std::nullopt;
  long value = *magnitude;
  if (negative) value = -value;
  if (value < INT16_MIN || value > INT16_MAX) return std::nullopt;
  return static_cast<std::int16_t>(value);
}

std::optional<std::int16_t> baseNoteFromText(std::string_view text,
                                             std::string_view decimalSeparator) {
  const auto number = parseWholeNumber16(text, decimalSeparator);
  if (!number || *number < 0 || *number > 111) return std::nullopt;
  return number;
}

std::string noteName(int note) {
  static constexpr std::array<const char*, 12> kNames{"C",  "C#", "D",  "D#", "E",  "F",
                                                      "F#", "G",  "G#", "A",  "A#", "B"};
  if (note < 0 || note > 127) return {};
  return std::string(kNames[note % 12]) + std::to_string(note / 12 - 1);
}

}  // namespace core
