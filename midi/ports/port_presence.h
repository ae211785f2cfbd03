// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The log's lines for a port output whose peer's port went away and came back, whatever its
// server: one when it goes, one when the output is connected to it again. On the thread that
// observes the peer (the session's).

#include <string>

#include "midi/log.h"
#include "midi/ports/output_life.h"

namespace midi {

class PortPresence {
 public:
  PortPresence(std::string server, std::string name)
      : m_server(std::move(server)), m_name(std::move(name)) {}

  // One observation: the state before it, the state it leads to, and what was observed.
  void tell(OutputState before, OutputState next, OutputEvent event) {
    if (event == OutputEvent::PortGone && before != OutputState::Lost) {
      m_gone = true;
      logEvent(LogRoom::Ports, LogLevel::Warning, m_server + " port gone",
               m_server + " port " + m_name + " went away; it plays again when it comes back");
    } else if (next == OutputState::Connected && before != next && m_gone) {
      m_gone = false;
      logEvent(LogRoom::Ports, LogLevel::Info, m_server + " port back",
               m_server + " port " + m_name + " is back");
    }
  }

 private:
  const std::string m_server;  // "ALSA", "JACK"
  const std::string m_name;
  bool m_gone = false;  // the peer's port went since it was connected (a line was written)
};

}  // namespace midi
