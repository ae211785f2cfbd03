// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The computer keyboard map: seventeen keys of two rows of the US layout, the bottom row
// (Z X C V B N M , . /) for the white keys and the row above (S D G H J L ;) for the black ones.
// Codes are Windows virtual-key codes; events from other platforms are first translated to the
// code of the same physical key, so that every keyboard layout plays the same seventeen keys.

#include <cstdint>

namespace core {

// The key index 0..16 for a virtual-key code, or -1.
std::int16_t KeyIndexForKeyCode(std::int16_t keyCode);

// The US-layout virtual-key code of a physical key, or 0 when it is none of the seventeen.
std::int16_t virtualKeyForXkbKeycode(std::uint32_t keycode);        // X11 and Wayland (evdev + 8)
std::int16_t virtualKeyForWindowsScanCode(std::uint32_t scanCode);  // set 1 make codes
std::int16_t virtualKeyForMacKeyCode(std::uint32_t keyCode);        // kVK_ANSI_* codes
// Fallback when an event carries no native code: the toolkit's key code, which for these keys
// is the character (upper-case for letters, the shifted US character accepted as well).
std::int16_t virtualKeyForCharacterKey(int key);

}  // namespace core
