// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The piano's behaviour: every event handler of the window, without the window. The Qt window
// (ui/form1) forwards its events here and implements PianoView to show the results.

#include <cstdint>
#include <optional>
#include <string>

#include "key_engine.h"
#include "midi/service/device_menu.h"
#include "piano_state.h"

namespace core {

class PianoView : public KeyView, public midi::DeviceMenuView {
 public:
  virtual void setChannelChecked(std::int16_t index, bool checked) = 0;
  // The volume bar. Its minimum is the top end and may be larger than its maximum.
  virtual void setVolumeMinimum(std::int16_t value) = 0;
  virtual void setVolumeMaximum(std::int16_t value) = 0;
  virtual void setVolumeValue(std::int16_t value) = 0;
  virtual std::int16_t volumeValue() const = 0;
  // Modal text input; nothing on Cancel.
  virtual std::optional<std::string> askText(const std::string& prompt, const std::string& title,
                                             const std::string& answer) = 0;
  // The decimal separator of the user's locale, accepted besides ".".
  virtual std::string decimalSeparator() const = 0;
  // The base note changed: the keys' accessible names follow it.
  virtual void showBaseNote(std::int16_t baseNote) = 0;
};

inline constexpr char kBaseNotePrompt[] = "Enter the new base note for the keyboard (0 - 111)";
inline constexpr char kBaseNoteTitle[] = "Base note";

class Piano {
 public:
  Piano(midi::MidiOutService& service, PianoView& view);

  void Form_Load();
  void Form_Unload();

  void key_MouseDown(std::int16_t index) { m_engine.PressKey(index); }
  void key_MouseUp(std::int16_t index) { m_engine.ReleaseKey(index); }
  // keyCode is a Windows virtual-key code (see keyboard_map.h); the shift state plays no part.
  void Form_KeyDown(std::int16_t keyCode);
  void Form_KeyUp(std::int16_t keyCode);
  // The window lost the focus: key-ups will go elsewhere, so no key may stay down.
  void Form_Deactivate() { m_engine.releaseAllKeys(); }

  void device_Click(std::int16_t index);
  // The open output failed after all (its SoundFont did not load); on the UI thread.
  void midiOut_Failed(midi::MidiOutHandle handle, midi::ResultCode rc) {
    m_devices.openFailedLater(handle, rc);
  }
  void chan_Click(std::int16_t index);
  void base_Click();
  void vol_Change();

  const PianoState& state() const { return m_state; }
  const KeyEngine& engine() const { return m_engine; }

 private:
  midi::MidiOutService& m_service;
  PianoView& m_view;
  PianoState m_state;
  KeyEngine m_engine;
  midi::DeviceMenu m_devices;
};

}  // namespace core
