// SPDX-License-Identifier: GPL-3.0-or-later
// The computer keyboard map and the translation of physical keys.

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <string_view>

#include "core/keyboard_map.h"

namespace {

// The US keyboard as the platforms number it, apart from the map: set-1 scan codes run along a
// row from 0x2C and from 0x1E (X11 adds 8); Apple's kVK_ANSI code is the position in kMacOrder,
// the ADB keyboard's order; Windows' virtual-key code of a letter is the letter.
constexpr std::string_view kBottomRow = "ZXCVBNM,./", kHomeRow = "ASDFGHJKL;";
constexpr std::string_view kMacOrder = "ASDFHGZXCV?BQWERYT123465=97-80]OU[IP?LJ'K;\\,/NM.";
const std::map<char, int> kOemVirtualKeys{{';', 186}, {',', 188}, {'.', 190}, {'/', 191}};
const std::map<char, char> kShiftedOem{{';', ':'}, {',', '<'}, {'.', '>'}, {'/', '?'}};

// The seventeen keys from C up: white keys along the bottom row, each black key on the home row
// over the seam behind its white key; the piano has none after E and after B.
std::string pianoKeys() {
  std::string keys;
  for (std::size_t i = 0, column = 0; i < 17; ++i)
    keys +=
        std::string_view("wbwbwwbwbwbw")[i % 12] == 'b' ? kHomeRow[column] : kBottomRow[column++];
  return keys;
}
int scanCode(char c) {
  const auto column = kBottomRow.find(c);
  return int(column != kBottomRow.npos ? 0x2C + column : 0x1E + kHomeRow.find(c));
}
int macCode(char c) { return int(kMacOrder.find(c)); }
int virtualKey(char c) { return kOemVirtualKeys.contains(c) ? kOemVirtualKeys.at(c) : c; }
char shifted(char c) { return kShiftedOem.contains(c) ? kShiftedOem.at(c) : char(c - 'A' + 'a'); }

// Each key is its physical key on every platform, and no other code reaches a key (so no code
// reaches two).
TEST(KeyboardMap, EachPianoKeyIsItsPhysicalKeyAndNoOtherCodeIsAKey) {
  const std::string keys = pianoKeys();
  std::set<int> vks, scanCodes, macCodes, characters;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const char c = keys[i];
    SCOPED_TRACE(c);
    const auto vk = static_cast<std::int16_t>(virtualKey(c));
    EXPECT_EQ(core::KeyIndexForKeyCode(vk), static_cast<std::int16_t>(i));
    EXPECT_EQ(core::virtualKeyForXkbKeycode(std::uint32_t(scanCode(c) + 8)), vk);
    EXPECT_EQ(core::virtualKeyForWindowsScanCode(std::uint32_t(scanCode(c))), vk);
    EXPECT_EQ(core::virtualKeyForMacKeyCode(std::uint32_t(macCode(c))), vk);
    EXPECT_EQ(core::virtualKeyForCharacterKey(c), vk);
    EXPECT_EQ(core::virtualKeyForCharacterKey(shifted(c)), vk);
    vks.insert(vk);
    scanCodes.insert(scanCode(c));
    macCodes.insert(macCode(c));
    characters.insert({c, shifted(c)});
  }
  for (int code = -1; code <= 300; ++code) {
    const auto u = static_cast<std::uint32_t>(code);
    EXPECT_EQ(core::KeyIndexForKeyCode(std::int16_t(code)) >= 0, vks.contains(code)) << code;
    EXPECT_EQ(core::virtualKeyForXkbKeycode(u) != 0, scanCodes.contains(code - 8)) << code;
    if (code >= 0 && code <= 0xFF) {  // the map reads the low byte only
      EXPECT_EQ(core::virtualKeyForWindowsScanCode(u) != 0, scanCodes.contains(code)) << code;
    }
    EXPECT_EQ(core::virtualKeyForMacKeyCode(u) != 0, macCodes.contains(code)) << code;
    EXPECT_EQ(core::virtualKeyForCharacterKey(code) != 0, characters.contains(code)) << code;
  }
  EXPECT_EQ(core::KeyIndexForKeyCode(90 + 256), -1);  // no truncation to a byte
  EXPECT_EQ(core::KeyIndexForKeyCode(-32768), -1);
  EXPECT_EQ(core::virtualKeyForCharacterKey(0x01000012), 0);  // Qt's Left arrow
}

}  // namespace
