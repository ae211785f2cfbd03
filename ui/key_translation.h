// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// From a Qt key event to the US-layout virtual-key code of the same physical key, so that every
// keyboard layout plays the same seventeen keys.

#include <cstdint>

class QKeyEvent;

namespace ui {

std::int16_t virtualKeyFor(const QKeyEvent& event);

// Whether the X server holds the key of this event down right now. An auto-repeat on X11 comes
// as a release and a press; a release whose key is still down is one of those, flagged or not.
// False where there is no X server to ask.
bool keyPhysicallyDown(const QKeyEvent& event);

}  // namespace ui
