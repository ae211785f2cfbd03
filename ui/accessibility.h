// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What assistive technology reads of the window's own widgets. A key is a button that can be
// pressed and reads pressed exactly while its state (set by the engine) is down; the volume bar
// reads the velocity itself, 0 at the bottom to 127 at the top, not the scroll bar's position.

namespace ui {

class PianoKey;

// Hands Qt the interfaces for PianoKey and VolumeBar. Idempotent; call it before the first of
// them is made, since Qt keeps the interface it first creates for a widget.
void installAccessibility();

// The key's pressed state changed: tells assistive technology, which reads the state back.
void announcePressedChange(PianoKey& key);

}  // namespace ui
