// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Reading whole numbers from typed text, as the "Base note" dialog needs.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace core {

// A numeric text is: optional surrounding white space, an optional sign, digits with an optional
// fraction (after "." or the locale's decimalSeparator), and an optional exponent ("e" or "E",
// an optional sign, digits). At least one digit stands before the exponent. Not numeric: empty
// text, letters, hex, "inf", "nan", two signs, a lone separator.
//
// Returns the value rounded to the nearest whole number, an exact half going to the even
// neighbour, or nothing when the text is not numeric or the value does not fit 16 bits.
// The rounding is done on the decimal digits themselves, so no binary fraction can tip a half.
std::optional<std::int16_t> parseWholeNumber16(std::string_view text,
                                               std::string_view decimalSeparator = ".");

// The "Base note" dialog's answer as a base note: a numeric text whose rounded value is 0 to 111.
// Anything else (not numeric, out of range, too large for 16 bits) gives nothing.
std::optional<std::int16_t> baseNoteFromText(std::string_view text,
                                             std::string_view decimalSeparator);

// The note's name in the convention where note 60 is C4 ("C4", "C#4", "A-1").
std::string noteName(int note);

}  // namespace core
