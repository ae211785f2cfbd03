// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The system's MIDI ports by name: what the device menu shows, and how a port is found again
// after its program or its server restarted.

#include <cstddef>
#include <string>

namespace midi {

enum class PortApi { Alsa, Jack };

struct PortInfo {
  PortApi api;
  std::string portName;     // the name the MIDI system lists, used to find the port again
  std::string displayName;  // short: ALSA the port's name, JACK "client:port"; at most 31 bytes
};

// Cuts text to at most maxBytes without splitting a UTF-8 character.
std::string cutUtf8(const std::string& text, std::size_t maxBytes);

// ALSA port names are listed as "client:port client_id:port_id"; this keeps the port's name.
// Returns an empty string for the system client (id 0, announce and timer) and for our own ports.
std::string alsaDisplayName(const std::string& alsaName);

// The numbers at the end of an ALSA name ("20:0" of "Synth:Synth Port 20:0"), or false.
bool alsaAddress(const std::string& alsaName, int& client, int& port);
// The ALSA name without those numbers, which change when the program behind the port
// restarts.
std::string alsaPortNames(const std::string& alsaName);
// Whether two names are the same port: JACK's full "client:port" names must be equal; ALSA's
// client and port names must be, whatever their numbers.
bool samePort(PortApi api, const std::string& a, const std::string& b);

}  // namespace midi
