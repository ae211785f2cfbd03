// SPDX-License-Identifier: GPL-3.0-or-later
// Reading the base note from the dialog's text.

#include <gtest/gtest.h>

#include "core/number_text.h"

namespace {

struct Case {
  const char* text;
  const char* separator;
  std::optional<int> expected;
};

const Case kCases[] = {
    {"0", ".", 0},
    {"111", ".", 111},
    {"112", ".", 112},
    {"-1", ".", -1},
    {"59.5", ".", 60},
    {"60.5", ".", 60},
    {"61.5", ".", 62},
    {"-2.5", ".", -2},
    {"-3.5", ".", -4},
    {"0.5", ".", 0},
    {"1.5", ".", 2},
    {"60.50000001", ".", 61},
    {"60.4999", ".", 60},
    {" 42 ", ".", 42},
    {"\t42\n", ".", 42},
    {"+7", ".", 7},
    {"1e2", ".", 100},
    {"1E+2", ".", 100},
    {"6.05e1", ".", 60},
    {"6.15e1", ".", 62},
    {"600e-1", ".", 60},
    {"4,5", ",", 4},
    {"5,5", ",", 6},
    {"4.5", ",", 4},
    {".5", ".", 0},
    {"7.", ".", 7},
    {"007", ".", 7},
    {"32767", ".", 32767},
    {"-32768", ".", -32768},
    {"32767.4", ".", 32767},
    {"0e999999999999", ".", 0},
    {"1e-999999999999", ".", 0},
    {"", ".", std::nullopt},
    {"   ", ".", std::nullopt},
    {"abc", ".", std::nullopt},
    {"12a", ".", std::nullopt},
    {"0x3C", ".", std::nullopt},
    {"inf", ".", std::nullopt},
    {"nan", ".", std::nullopt},
    {"NaN", ".", std::nullopt},
    {"--5", ".", std::nullopt},
    {"+-5", ".", std::nullopt},
    {".", ".", std::nullopt},
    {",", ",", std::nullopt},
    {"-", ".", std::nullopt},
    {"1e", ".", std::nullopt},
    {"e5", ".", std::nullopt},
    {"1.2.3", ".", std::nullopt},
    {"4,5", ".", std::nullopt},
    {"1 2", ".", std::nullopt},
    {"99999", ".", std::nullopt},
    {"32767.5", ".", std::nullopt},
    {"32768", ".", std::nullopt},
    {"-32769", ".", std::nullopt},
    {"1e5", ".", std::nullopt},
    {"1e999999999999", ".", std::nullopt},
    {"123456789012345678901234567890", ".", std::nullopt},
};

TEST(WholeNumber16, Table) {
  for (const Case& c : kCases) {
    const auto got = core::parseWholeNumber16(c.text, c.separator);
    SCOPED_TRACE(std::string("'") + c.text + "' with '" + c.separator + "'");
    ASSERT_EQ(got.has_value(), c.expected.has_value());
    if (got) {
      EXPECT_EQ(*got, *c.expected);
    }
  }
}

TEST(WholeNumber16, MultiByteLocaleSeparator) {
  EXPECT_EQ(core::parseWholeNumber16("60\u066B5", "\u066B"), 60);  // Arabic decimal separator
  EXPECT_EQ(core::parseWholeNumber16("61\u066B5", "\u066B"), 62);
}

TEST(NoteNames, NamesWithMiddleCAsC4) {
  EXPECT_EQ(core::noteName(60), "C4");
  EXPECT_EQ(core::noteName(61), "C#4");
  EXPECT_EQ(core::noteName(0), "C-1");
  EXPECT_EQ(core::noteName(127), "G9");
  EXPECT_EQ(core::noteName(128), "");
}

}  // namespace
