// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// A MIDI output service for tests: lists the devices it is given, fails opens on request and
// records every call, and every message with the device it reached. Handles go through the real
// handle table, so invalid handles behave as in the real service.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "midi/service/handle_table.h"
#include "midi/midi_service.h"

namespace testing_support {

struct SentMessage {
  std::int32_t deviceId;  // the device the handle was open on; -99 for a dead handle
  std::uint32_t message;
  bool operator==(const SentMessage&) const = default;
};

class RecordingMidiService : public midi::MidiOutService {
 public:
  explicit RecordingMidiService(std::vector<std::string> deviceNames = {})
      : names(std::move(deviceNames)) {}

  std::vector<std::string> names;                     // device names, id order
  std::map<std::int32_t, midi::ResultCode> failOpen;  // device id -> code its opens return
  std::vector<std::int32_t> failCaps;                 // device ids whose capability query fails
  std::vector<SentMessage> sent;
  std::vector<std::string> calls;  // "open -1", "close", "caps 0" ... in order

  std::uint32_t midiOutGetNumDevs() override {
    calls.push_back("count");
    return static_cast<std::uint32_t>(names.size());
  }

  midi::ResultCode midiOutGetDevCapsA(std::int32_t id, midi::MidiOutCaps& caps,
                                      std::uint32_t size) override {
    calls.push_back("caps " + std::to_string(id));
    if (size != sizeof caps || id < 0 || id >= static_cast<std::int32_t>(names.size()))
      return midi::MMSYSERR_BADDEVICEID;
    for (auto f : failCaps)
      if (f == id) return midi::MMSYSERR_ERROR;
    caps = {};
    const std::string& n = names[static_cast<std::size_t>(id)];
    n.copy(caps.szPname, sizeof caps.szPname);
    return midi::MMSYSERR_NOERROR;
  }

  midi::ResultCode midiOutOpen(midi::MidiOutHandle& handle, std::int32_t id, std::uintptr_t,
                               std::uintptr_t, std::uint32_t) override {
    calls.push_back("open " + std::to_string(id));
    handle = 0;
    if (auto it = failOpen.find(id); it != failOpen.end()) return it->second;
    handle = m_open.insert(std::make_unique<std::int32_t>(id));
    return midi::MMSYSERR_NOERROR;
  }

  midi::ResultCode midiOutShortMsg(midi::MidiOutHandle handle, std::uint32_t message) override {
    const std::int32_t* id = m_open.find(handle);
    sent.push_back({id ? *id : -99, message});
    return id ? midi::MMSYSERR_NOERROR : midi::MMSYSERR_INVALHANDLE;
  }

  midi::ResultCode midiOutClose(midi::MidiOutHandle handle) override {
    calls.push_back("close");
    return m_open.remove(handle) ? midi::MMSYSERR_NOERROR : midi::MMSYSERR_INVALHANDLE;
  }

  void setLateFailureHandler(LateFailureHandler handler) override {
    lateFailure = std::move(handler);
  }
  LateFailureHandler lateFailure;  // what the window asked to hear of a late failure

  // Messages that reached a live output, as values.
  std::vector<std::uint32_t> delivered() const {
    std::vector<std::uint32_t> out;
    for (const auto& m : sent)
      if (m.deviceId != -99) out.push_back(m.message);
    return out;
  }

  int openOutputs() const {
    int n = 0;
    m_open.forEach([&](const std::int32_t&) { ++n; });
    return n;
  }

 private:
  midi::HandleTable<std::int32_t> m_open;
};

}  // namespace testing_support
