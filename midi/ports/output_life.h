// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The life of one open port output, whatever server it is on: one state, one transition
// function. The output observes its server and its peer; each observation is an event.

namespace midi {

enum class OutputState {
  Connecting,  // the peer's port is there; our connection to it is not confirmed yet
  Connected,   // confirmed: messages flow
  Lost,        // the peer's port or its server has gone: sends fail at once
};

enum class OutputEvent {
  PortThere,   // the peer's port is listed (again)
  Confirmed,   // the server says our port is connected to the peer's
  Refused,     // a connection was asked for and not made (a peer not active yet): try again
  PortGone,    // the peer's port is no longer listed
  ServerGone,  // the server itself has gone (its client with it)
};

struct OutputStep {
  OutputState next;
  // Entering Connected from anywhere else: the Note Offs of every note that reached the peer
  // and is not yet off go first, before any queued message.
  bool switchOffFirst;
  // A connection is to be asked for (and tried again while it is refused).
  bool connect;
};

// Connecting + PortThere  -> Connecting, connect
// Connecting + Confirmed  -> Connected, switch off first
// Connecting + Refused    -> Connecting, connect (again, later)
// Connected  + PortThere  -> Connected              (already connected: nothing to do)
// Connected  + Confirmed  -> Connected
// Connected  + Refused    -> Connecting, connect    (the link was cut under us)
// Lost       + PortThere  -> Connecting, connect
// Lost       + Confirmed  -> Connected, switch off first
// Lost       + Refused    -> Lost
// any        + PortGone   -> Lost
// any        + ServerGone -> Lost
constexpr OutputStep nextOutputState(OutputState state, OutputEvent event) {
  using S = OutputState;
  switch (event) {
    case OutputEvent::PortGone:
    case OutputEvent::ServerGone: return {S::Lost, false, false};
    case OutputEvent::Confirmed: return {S::Connected, state != S::Connected, false};
    case OutputEvent::PortThere:
      return state == S::Connected ? OutputStep{S::Connected, false, false}
                                   : OutputStep{S::Connecting, false, true};
    case OutputEvent::Refused:
      return state == S::Lost ? OutputStep{S::Lost, false, false}
                              : OutputStep{S::Connecting, false, true};
  }
  return {state, false, false};
}

}  // namespace midi
