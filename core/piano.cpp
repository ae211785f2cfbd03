// SPDX-License-Identifier: GPL-3.0-or-later
#include "piano.h"

#include "keyboard_map.h"
#include "number_text.h"

namespace core {

Piano::Piano(midi::MidiOutService& service, PianoView& view)
    : m_service(service),
      m_view(view),
      m_engine(m_state, service, view),
      m_devices(service, m_state.midi, view) {}

void Piano::Form_Load() {
  // The defaults come first: the window reads right (the keys' names, the bar's value) while a
  // message box about the MIDI Mapper is up, to a screen reader as well.
  m_state.channel = 0;
  m_view.setChannelChecked(0, true);
  m_state.baseNote = 60;
  m_state.volume = kMaxVolume;
  m_view.setVolumeMinimum(kMaxVolume);
  m_view.setVolumeMaximum(0);
  m_view.setVolumeValue(m_state.volume);
  m_view.showBaseNote(m_state.baseNote);

  m_devices.fill();
  device_Click(0);  // the MIDI Mapper, exactly as if the user had chosen it
}

void Piano::Form_Unload() {
  m_engine.releaseAllKeys();  // no note may outlive the program
  m_state.midi.rc = m_service.midiOutClose(m_state.midi.midiOut);
  m_state.midi.midiOut = 0;
}

void Piano::Form_KeyDown(std::int16_t keyCode) { m_engine.PressKey(KeyIndexForKeyCode(keyCode)); }

void Piano::Form_KeyUp(std::int16_t keyCode) { m_engine.ReleaseKey(KeyIndexForKeyCode(keyCode)); }

void Piano::device_Click(std::int16_t index) {
  m_devices.device_Click(index,
                         [this](midi::MidiOutHandle old) { m_engine.silenceHeldNotes(old); });
}

void Piano::chan_Click(std::int16_t index) {
  if (index < 0 || index >= kChannelCount) return;
  m_view.setChannelChecked(m_state.channel, false);
  m_state.channel = index;
  m_view.setChannelChecked(m_state.channel, true);
}

void Piano::base_Click() {
  const auto answer =
      m_view.askText(kBaseNotePrompt, kBaseNoteTitle, std::to_string(m_state.baseNote));
  if (!answer) return;
  const auto note = baseNoteFromText(*answer, m_view.decimalSeparator());
  if (!note) return;  // rejected silently, Cancel included
  m_state.baseNote = *note;
  m_view.showBaseNote(m_state.baseNote);
}

void Piano::vol_Change() {
  const std::int16_t value = m_view.volumeValue();
  if (value >= 0 && value <= kMaxVolume) m_state.volume = value;
}

}  // namespace core
