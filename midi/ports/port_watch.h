// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Tells an ALSA port output when its peer port goes and comes back, and when the sequencer has
// gone, from a client of ours subscribed to the system's announcements. RtMidi has no such
// notifications, and listing every port after each message cost 23-33 µs on the key path.

#include <functional>
#include <memory>
#include <string>

#include "midi/ports/port_output.h"

namespace midi {

class PortWatch {
 public:
  enum class Event { PortGone, PortBack, SystemGone };
  // Called on the watch's own thread.
  using Notify = std::function<void(Event)>;

  // A watch on the sequencer for port, or nullptr when the sequencer cannot be reached now.
  static std::unique_ptr<PortWatch> start(const PortInfo& port, Notify notify);
  virtual ~PortWatch() = default;

  // Whether a port of the watched name is there now (asks the system; never on the key path).
  virtual bool portPresent() = 0;
};

}  // namespace midi
