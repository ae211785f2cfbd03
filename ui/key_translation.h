// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// From a Qt key event to the US-layout virtual-key code of the same physical key, so that every
// keyboard layout plays the same seventeen keys.

#include <cstdint>

class QKeyEvent;

namespace ui {

std::int16_t virtualKeyFor(const QKeyEvent& event);

// Asks the X server to tell auto-repeat apart itself (XKB's detectable auto-repeat): a held key
// then comes as presses alone, and every release is a key let go. Without it, a repeat comes as
// a release and a press stamped with the same time, and Qt takes any release followed at once
// by a press of its key for a repeat: two strikes queued while the program was busy, one note.
// Qt then never flags a press as a repeat on X11: a press of a key already down is one.
// Once, before the first key event; nothing where there is no X server.
void askServerForRealReleases();

// Whether a key release is the key let go rather than a step of its auto-repeat.
bool keyLetGo(const QKeyEvent& event);

}  // namespace ui
