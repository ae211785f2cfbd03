// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The system's MIDI output ports through RtMidi: ALSA sequencer ports, then the MIDI inputs of a
// running JACK server. Neither server is ever started by us, and RtMidi's, ALSA's and JACK's own
// printing to the terminal is silenced.

#include <memory>
#include <string>
#include <vector>

#include "midi_service.h"

class RtMidiOut;

namespace midi {

enum class PortApi { Alsa, Jack };

struct PortInfo {
  PortApi api;
  std::string portName;     // the name that RtMidi lists, used to find the port again
  std::string displayName;  // short: ALSA the port's name, JACK "client:port"; at most 31 bytes
};

inline constexpr char kClientName[] = "Tamrels Midi Piano";

// Silences ALSA's, JACK's and RtMidi's printing and keeps JACK from starting a server. Sets the
// environment, so it must run before any other thread does; later calls do nothing.
void prepareMidiPlatform();

// The output ports reachable now, ALSA first, then JACK.
std::vector<PortInfo> listOutputPorts();

// Cuts text to at most maxBytes without splitting a UTF-8 character.
std::string cutUtf8(const std::string& text, std::size_t maxBytes);

// ALSA's RtMidi port names read "client:port client_id:port_id"; this keeps the port's name.
// Returns an empty string for the system client (id 0, announce and timer).
std::string alsaDisplayName(const std::string& rtMidiName);

class PortOutput {
 public:
  ~PortOutput();
  PortOutput(const PortOutput&) = delete;
  PortOutput& operator=(const PortOutput&) = delete;

  static ResultCode open(const PortInfo& port, std::unique_ptr<PortOutput>& out);
  ResultCode send(std::uint32_t message);

 private:
  PortOutput() = default;
  static void onError(int type, const std::string& text, void* self);
  bool targetStillThere();

  PortInfo m_port{};
  std::unique_ptr<RtMidiOut> m_out;
  bool m_failed = false;  // set by RtMidi's error callback
};

}  // namespace midi
