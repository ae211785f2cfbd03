// SPDX-License-Identifier: GPL-3.0-or-later
#include "midi/midi_service.h"

namespace midi {

int shortMessageLength(std::uint32_t message) {
  const std::uint32_t status = message & 0xFF;
  if (status < 0x80 || status >= 0xF0) return 0;
  const std::uint32_t kind = status & 0xF0;
  return (kind == 0xC0 || kind == 0xD0) ? 2 : 3;
}

}  // namespace midi
