// SPDX-License-Identifier: GPL-3.0-or-later
// The computer keyboard map and the translation of physical keys.

#include <gtest/gtest.h>

#include "core/keyboard_map.h"

namespace {

struct Row {
  int index;
  std::int16_t vk;
  std::uint32_t xkb, windows, mac;
  char character, shifted;
};

// The table as a musician reads it: two rows of the US keyboard.
const Row kTable[] = {
    {0, 90, 52, 0x2C, 6, 'Z', 'z'},    {1, 83, 39, 0x1F, 1, 'S', 's'},
    {2, 88, 53, 0x2D, 7, 'X', 'x'},    {3, 68, 40, 0x20, 2, 'D', 'd'},
    {4, 67, 54, 0x2E, 8, 'C', 'c'},    {5, 86, 55, 0x2F, 9, 'V', 'v'},
    {6, 71, 42, 0x22, 5, 'G', 'g'},    {7, 66, 56, 0x30, 11, 'B', 'b'},
    {8, 72, 43, 0x23, 4, 'H', 'h'},    {9, 78, 57, 0x31, 45, 'N', 'n'},
    {10, 74, 44, 0x24, 38, 'J', 'j'},  {11, 77, 58, 0x32, 46, 'M', 'm'},
    {12, 188, 59, 0x33, 43, ',', '<'}, {13, 76, 46, 0x26, 37, 'L', 'l'},
    {14, 190, 60, 0x34, 47, '.', '>'}, {15, 186, 47, 0x27, 41, ';', ':'},
    {16, 191, 61, 0x35, 44, '/', '?'},
};

TEST(KeyboardMap, EveryCodeOfTheTableAndThePhysicalKeysBehindIt) {
  for (const Row& r : kTable) {
    SCOPED_TRACE(r.character);
    EXPECT_EQ(core::KeyIndexForKeyCode(r.vk), r.index);
    EXPECT_EQ(core::virtualKeyForXkbKeycode(r.xkb), r.vk);
    EXPECT_EQ(core::virtualKeyForWindowsScanCode(r.windows), r.vk);
    EXPECT_EQ(core::virtualKeyForMacKeyCode(r.mac), r.vk);
    EXPECT_EQ(core::virtualKeyForCharacterKey(r.character), r.vk);
    EXPECT_EQ(core::virtualKeyForCharacterKey(r.shifted), r.vk);
  }
}

TEST(KeyboardMap, CodesBesideTheTableMapToNoKey) {
  // Neighbours of every code, digits, Space, arrows, the other OEM codes.
  for (int code = -1; code <= 255; ++code) {
    bool inTable = false;
    for (const Row& r : kTable) inTable = inTable || r.vk == code;
    if (!inTable) {
      EXPECT_EQ(core::KeyIndexForKeyCode(static_cast<std::int16_t>(code)), -1) << code;
    }
  }
  EXPECT_EQ(core::KeyIndexForKeyCode(90 + 256), -1);  // no truncation to a byte
  EXPECT_EQ(core::KeyIndexForKeyCode(-32768), -1);
}

TEST(KeyboardMap, OtherPhysicalKeysAreNone) {
  // X11: digits 10-19, Space 65, arrows 111/113/114/116, A 38, K 45, Shift 50, Return 36.
  for (std::uint32_t code : {10u, 19u, 65u, 111u, 113u, 38u, 45u, 50u, 36u, 0u, 300u})
    EXPECT_EQ(core::virtualKeyForXkbKeycode(code), 0) << code;
  for (int key : {int{'1'}, int{' '}, int{'A'}, int{'K'}, 0, 0x01000012 /* Qt's Left arrow */})
    EXPECT_EQ(core::virtualKeyForCharacterKey(key), 0) << key;
  EXPECT_EQ(core::virtualKeyForMacKeyCode(0), 0);  // kVK_ANSI_A
}

}  // namespace
