// SPDX-License-Identifier: GPL-3.0-or-later
#include "key_engine.h"

namespace core {

void KeyEngine::PressKey(std::int16_t index) {
  if (!isKey(index) || m_down[index]) return;  // auto-repeat, or the other input holds it
  m_down[index] = 1;
  m_view.setKeyState(index, 1);
  const int note = m_state.baseNote + index;
  m_held[index] = {static_cast<std::uint8_t>(note), static_cast<std::uint8_t>(m_state.channel)};
  m_service.midiOutShortMsg(m_state.midi.midiOut,
                            noteOnMessage(m_state.channel, note, m_state.volume));
}

void KeyEngine::ReleaseKey(std::int16_t index) {
  if (!isKey(index)) return;
  const bool wasDown = m_down[index] != 0;
  m_down[index] = 0;
  m_view.setKeyState(index, 0);
  if (wasDown)
    m_service.midiOutShortMsg(m_state.midi.midiOut,
                              noteOffMessage(m_held[index].channel, m_held[index].note));
}

int KeyEngine::keyState(std::int16_t index) const { return isKey(index) ? m_down[index] : 0; }

int KeyEngine::keysDown() const {
  int n = 0;
  for (auto d : m_down) n += d;
  return n;
}

void KeyEngine::releaseAllKeys() {
  for (std::int16_t i = 0; i < kKeyCount; ++i)
    if (m_down[i]) ReleaseKey(i);
}

void KeyEngine::silenceHeldNotes(midi::MidiOutHandle handle) {
  for (int i = 0; i < kKeyCount; ++i)
    if (m_down[i])
      m_service.midiOutShortMsg(handle, noteOffMessage(m_held[i].channel, m_held[i].note));
}

}  // namespace core
