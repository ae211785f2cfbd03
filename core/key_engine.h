// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Turns presses and releases of the seventeen keys into Note On and Note Off messages and keeps
// each key's drawn state (0 up, 1 down) in step. The engine owns the key states; the view only
// draws them.
//
// A key that is down remembers the note and channel of its Note On, and its Note Off uses them,
// so a change of channel or base note while it is held never leaves the note hanging. Each Note
// On gets exactly one Note Off: releasing a key that is up (the second of two inputs holding it,
// a late key-up after the window lost the focus) sends nothing and only draws the key raised.

#include <array>
#include <cstdint>

#include "midi/midi_service.h"
#include "piano_state.h"

namespace core {

class KeyView {
 public:
  virtual ~KeyView() = default;
  virtual void setKeyState(std::int16_t index, int state) = 0;  // 0 up, 1 down
};

class KeyEngine {
 public:
  KeyEngine(PianoState& state, midi::MidiOutService& service, KeyView& view)
      : m_state(state), m_service(service), m_view(view) {}

  // index -1 (no key) and anything outside 0..16 are ignored.
  void PressKey(std::int16_t index);
  void ReleaseKey(std::int16_t index);

  int keyState(std::int16_t index) const;
  int keysDown() const;

  // Releases every key that is down (Note Off, drawn raised).
  void releaseAllKeys();
  // Sends the Note Off of every key that is down to handle, leaving the keys down.
  void silenceHeldNotes(midi::MidiOutHandle handle);

 private:
  struct Held {
    std::uint8_t note = 0;
    std::uint8_t channel = 0;
  };
  static bool isKey(std::int16_t index) { return index >= 0 && index < kKeyCount; }

  PianoState& m_state;
  midi::MidiOutService& m_service;
  KeyView& m_view;
  std::array<std::uint8_t, kKeyCount> m_down{};
  std::array<Held, kKeyCount> m_held{};
};

}  // namespace core
