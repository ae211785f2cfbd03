// SPDX-License-Identifier: GPL-3.0-or-later
#include "midi/service/device_menu.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace midi {

std::string captionFromCaps(const MidiOutCaps& caps) {
  const char* name = caps.szPname;
  const void* nul = std::memchr(name, '\0', sizeof caps.szPname);
  const std::size_t length =
      nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - name) : sizeof caps.szPname;
  return std::string(name, length);
}

void DeviceMenu::fill() {
  m_view.ensureDeviceItems(kDesignDeviceItems);
  m_view.setDeviceCaption(0, kMapperCaption);
  m_view.setDeviceVisible(0, true);
  m_view.setDeviceEnabled(0, true);

  // Item indexes are 16-bit: a count beyond what they can address is cut there.
  constexpr std::uint32_t kMaxDevices = std::numeric_limits<std::int16_t>::max() - 1;
  const std::uint32_t count = std::min(m_service.midiOutGetNumDevs(), kMaxDevices);
  m_state.deviceCount = static_cast<std::int32_t>(count);

  m_items = std::max(kDesignDeviceItems, m_state.deviceCount + 1);
  m_view.ensureDeviceItems(m_items);

  for (std::int32_t id = 0; id < m_state.deviceCount; ++id) {
    MidiOutCaps caps;  // a fresh record each time: a failed query never shows the previous name
    const ResultCode rc = m_service.midiOutGetDevCapsA(id, caps, sizeof caps);
    std::string caption = captionFromCaps(caps);
    if (rc != MMSYSERR_NOERROR || caption.empty())
      caption = "MIDI output " + std::to_string(id + 1);
    const auto item = static_cast<std::int16_t>(id + 1);
    m_view.setDeviceCaption(item, caption);
    m_view.setDeviceVisible(item, true);
    m_view.setDeviceEnabled(item, true);
  }
}

void DeviceMenu::device_Click(std::int16_t index,
                              const std::function<void(MidiOutHandle)>& beforeClose) {
  if (index < 0 || index >= m_items) return;  // no such item

  const std::int32_t oldItem = m_state.deviceId + 1;
  if (oldItem >= 0 && oldItem < m_items)
    m_view.setDeviceChecked(static_cast<std::int16_t>(oldItem), false);
  m_view.setDeviceChecked(index, true);
  m_state.deviceId = index - 1;

  if (beforeClose && m_state.midiOut != 0) beforeClose(m_state.midiOut);
  m_state.rc = m_service.midiOutClose(m_state.midiOut);
  m_state.midiOut = 0;
  m_state.rc = m_service.midiOutOpen(m_state.midiOut, m_state.deviceId, 0, 0, 0);
  if (m_state.rc != MMSYSERR_NOERROR)
    m_view.showMessage(kOpenFailedText + std::to_string(m_state.rc));
}

void DeviceMenu::openFailedLater(MidiOutHandle handle, ResultCode rc) {
  if (handle == 0 || handle != m_state.midiOut) return;  // another output has been chosen since
  m_state.rc = rc;
  m_view.showMessage(kOpenFailedText + std::to_string(rc));
}

}  // namespace midi
