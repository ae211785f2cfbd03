// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace midi {

// The name our clients carry on every MIDI and sound server, as patchbays show it.
inline constexpr char kClientName[] = "Tamrels Midi Piano";

}  // namespace midi
