// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The record of state that the window owns for its whole life. Every field starts at zero;
// start-up (Piano::Form_Load) sets the defaults.
//
// Invariants after start-up: channel 0..15, volume 0..127, baseNote 0..111 (so that the highest
// key, baseNote + 16, never passes note 127), deviceId -1 or 0..deviceCount - 1.

#include <cstdint>

#include "midi/service/device_menu.h"

namespace core {

inline constexpr int kKeyCount = 17;
inline constexpr std::int16_t kNoKey = -1;
inline constexpr std::int16_t kMaxBaseNote = 111;
inline constexpr std::int16_t kMaxVolume = 127;
inline constexpr std::int16_t kChannelCount = 16;

struct PianoState {
  midi::MidiState midi;  // deviceCount, deviceId, midiOut, rc
  std::int16_t channel = 0;
  std::int16_t volume = 0;
  std::int16_t baseNote = 0;
};

// Packed short messages: status in bits 0-7, note in 8-15, velocity in 16-23.
constexpr std::uint32_t noteOnMessage(int channel, int note, int velocity) {
  return static_cast<std::uint32_t>(0x90 + channel) | static_cast<std::uint32_t>(note) << 8 |
         static_cast<std::uint32_t>(velocity) << 16;
}
// The Note Off in its own status form (0x80), velocity 0, not a Note On with velocity 0.
constexpr std::uint32_t noteOffMessage(int channel, int note) {
  return static_cast<std::uint32_t>(0x80 + channel) | static_cast<std::uint32_t>(note) << 8;
}

}  // namespace core
