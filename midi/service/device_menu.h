// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The "Midi Device" menu's logic: filling it from the service at start-up, and choosing an
// output. Item k stands for device id k - 1; item 0 is the MIDI Mapper.

#include <cstdint>
#include <functional>
#include <string>

#include "midi/midi_service.h"

namespace midi {

// The MIDI fields of the piano state. All start at zero: the first device choice runs with
// midiOut 0 and deviceId 0.
struct MidiState {
  std::int32_t deviceCount = 0;  // devices reported at start-up
  std::int32_t deviceId = 0;     // id of the checked item; -1 is the MIDI Mapper
  MidiOutHandle midiOut = 0;     // the open output, 0 while none is open
  ResultCode rc = 0;             // result of the latest open or close
};

class DeviceMenuView {
 public:
  virtual ~DeviceMenuView() = default;
  // Makes sure the items device(0)..device(count - 1) exist; new items start hidden, disabled,
  // unchecked and without caption.
  virtual void ensureDeviceItems(int count) = 0;
  virtual void setDeviceCaption(std::int16_t index, const std::string& caption) = 0;
  virtual void setDeviceVisible(std::int16_t index, bool visible) = 0;
  virtual void setDeviceEnabled(std::int16_t index, bool enabled) = 0;
  virtual void setDeviceChecked(std::int16_t index, bool checked) = 0;
  // Modal message box, OK button only, no icon, the application's title as caption.
  virtual void showMessage(const std::string& text) = 0;
};

inline constexpr int kDesignDeviceItems = 11;  // the menu as designed: the Mapper and ten devices
inline constexpr char kMapperCaption[] = "MIDI Mapper";
inline constexpr char kOpenFailedText[] = "Couldn't open midi out, rc = ";

// The caption for a device: its name up to the first NUL (all 32 bytes if there is none).
std::string captionFromCaps(const MidiOutCaps& caps);

class DeviceMenu {
 public:
  DeviceMenu(MidiOutService& service, MidiState& state, DeviceMenuView& view)
      : m_service(service), m_state(state), m_view(view) {}

  // Start-up: lists the Mapper and every device the service reports.
  void fill();

  // A choice of device(index). beforeClose runs with the old handle just before it is closed,
  // so that notes still sounding there can be switched off.
  void device_Click(std::int16_t index, const std::function<void(MidiOutHandle)>& beforeClose = {});

  // The output behind handle failed after its open had succeeded (the Mapper's SoundFont did not
  // load). Reported like a failed open, but only while that output is still the chosen one.
  void openFailedLater(MidiOutHandle handle, ResultCode rc);

 private:
  MidiOutService& m_service;
  MidiState& m_state;
  DeviceMenuView& m_view;
  int m_items = kDesignDeviceItems;
};

}  // namespace midi
