// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Tells a port output when its peer port goes and comes back, and when its MIDI system has gone,
// from the system's own notifications: for JACK a watcher client of ours (no ports) with the port
// and client registration callbacks and jack_on_info_shutdown; for the ALSA sequencer a client
// subscribed to the system's announcements. RtMidi has no such notifications, and listing every
// port after each message cost 23-33 µs on the key path and, against a dead JACK server, read a
// stale copy.

#include <functional>
#include <memory>
#include <string>

#include "port_output.h"

namespace midi {

// ALSA's RtMidi port names read "client:port client_id:port_id". The numbers change when the
// program behind the port restarts; this is the name without them.
std::string alsaPortNames(const std::string& rtMidiName);
// Whether two RtMidi names are the same port: JACK's full "client:port" names must be equal;
// ALSA's client and port names must be, whatever their numbers.
bool samePort(PortApi api, const std::string& a, const std::string& b);

class PortWatch {
 public:
  enum class Event { PortGone, PortBack, SystemGone };
  // Called on the watch's own thread (JACK's notification thread, or ours for ALSA).
  using Notify = std::function<void(Event)>;

  // A watch on port's MIDI system, or nullptr when the system cannot be reached now.
  static std::unique_ptr<PortWatch> start(const PortInfo& port, Notify notify);
  virtual ~PortWatch() = default;

  // Whether a port of the watched name is there now (asks the system; never on the key path).
  virtual bool portPresent() = 0;
};

}  // namespace midi
