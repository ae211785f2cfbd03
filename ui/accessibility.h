// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What assistive technology reads of the window's own widgets. A key is a checkable button with a
// press action; it reads checked and pressed exactly while its state (set by the engine) is down.
// The volume bar reads the velocity itself, 0 at the bottom to 127 at the top, not the scroll
// bar's position.

namespace ui {

class PianoKey;

// Hands Qt the interfaces for PianoKey and VolumeBar. Idempotent; call it before the first of
// them is made, since Qt keeps the interface it first creates for a widget.
void installAccessibility();

// The key's state changed: tells assistive technology that checked and pressed changed, which it
// reads back. Qt's AT-SPI bridge passes the checked change on as an event; a pressed change it
// drops, so checked is the state whose change a screen reader is told of.
void announcePressedChange(PianoKey& key);

}  // namespace ui
