// SPDX-License-Identifier: GPL-3.0-or-later
#include "keyboard_map.h"

#include <array>

namespace core {

namespace {

struct PhysicalKey {
  std::int16_t virtualKey;
  std::uint16_t xkb;      // X11 / Wayland keycode
  std::uint16_t windows;  // scan code
  std::uint16_t mac;      // kVK code
  char character;
  char shifted;
};

constexpr std::int16_t VK_OEM_1 = 186;       // ;
constexpr std::int16_t VK_OEM_COMMA = 188;   // ,
constexpr std::int16_t VK_OEM_PERIOD = 190;  // .
constexpr std::int16_t VK_OEM_2 = 191;       // /

// In key index order: the table's row order is the order in which codes are compared.
constexpr std::array<PhysicalKey, 17> kKeys{{
    {'Z', 52, 0x2C, 6, 'Z', 'z'},
    {'S', 39, 0x1F, 1, 'S', 's'},
    {'X', 53, 0x2D, 7, 'X', 'x'},
    {'D', 40, 0x20, 2, 'D', 'd'},
    {'C', 54, 0x2E, 8, 'C', 'c'},
    {'V', 55, 0x2F, 9, 'V', 'v'},
    {'G', 42, 0x22, 5, 'G', 'g'},
    {'B', 56, 0x30, 11, 'B', 'b'},
    {'H', 43, 0x23, 4, 'H', 'h'},
    {'N', 57, 0x31, 45, 'N', 'n'},
    {'J', 44, 0x24, 38, 'J', 'j'},
    {'M', 58, 0x32, 46, 'M', 'm'},
    {VK_OEM_COMMA, 59, 0x33, 43, ',', '<'},
    {'L', 46, 0x26, 37, 'L', 'l'},
    {VK_OEM_PERIOD, 60, 0x34, 47, '.', '>'},
    {VK_OEM_1, 47, 0x27, 41, ';', ':'},
    {VK_OEM_2, 61, 0x35, 44, '/', '?'},
}};

template <typename Field>
std::int16_t lookup(std::uint32_t code, Field field) {
  for (const PhysicalKey& k : kKeys)
    if (k.*field == code) return k.virtualKey;
  return 0;
}

}  // namespace

std::int16_t KeyIndexForKeyCode(std::int16_t keyCode) {
  for (std::size_t i = 0; i < kKeys.size(); ++i)
    if (kKeys[i].virtualKey == keyCode) return static_cast<std::int16_t>(i);
  return -1;
}

std::int16_t virtualKeyForXkbKeycode(std::uint32_t keycode) {
  return lookup(keycode, &PhysicalKey::xkb);
}

std::int16_t virtualKeyForWindowsScanCode(std::uint32_t scanCode) {
  return lookup(scanCode & 0xFF, &PhysicalKey::windows);
}

std::int16_t virtualKeyForMacKeyCode(std::uint32_t keyCode) {
  return lookup(keyCode, &PhysicalKey::mac);
}

std::int16_t virtualKeyForCharacterKey(int key) {
  if (key <= 0 || key > 0x7F) return 0;
  for (const PhysicalKey& k : kKeys)
    if (k.character == key || k.shifted == key) return k.virtualKey;
  return 0;
}

}  // namespace core
