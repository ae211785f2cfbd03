// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// One open JACK port: a MIDI output port of the session's client, connected to the chosen peer.
// A send only puts the message in the output's queue (it never waits; a full queue fails it at
// once) and the session's process callback writes the queue into the port each cycle. The
// output follows its peer and the server (output_life.h): while it connects, messages wait in the
// queue; when the peer or the server goes, sends fail; when the peer's port is there again and
// our connection to it is confirmed, the Note Offs of the notes that reached the peer go first,
// then the messages flow again, with no menu choice.
//
// What the queue and each cycle promise, and how they keep it across the server's hiccups, is
// cycled_output.h's.

#include <memory>

#include "midi/midi_service.h"
#include "midi/ports/output_life.h"
#include "midi/ports/port_names.h"
#include "midi/servers/jack_session.h"

namespace midi {

class JackPortOutput {
 public:
  // How long the caller waits for the session to register the port (the connection follows
  // without the caller): a server that does not answer in time fails the open with
  // MMSYSERR_ERROR.
  static constexpr auto kOpenDeadline = std::chrono::milliseconds(250);

  // MMSYSERR_ERROR when the port or its server is not there, or the server does not answer.
  static ResultCode open(const std::shared_ptr<JackSession>& session, const PortInfo& port,
                         std::unique_ptr<JackPortOutput>& out);
  // Returns at once; the session sends what is still queued, then lets the port go.
  ~JackPortOutput();
  JackPortOutput(const JackPortOutput&) = delete;
  JackPortOutput& operator=(const JackPortOutput&) = delete;

  ResultCode send(std::uint32_t message);
  OutputState state() const;

  class Link;

 private:
  JackPortOutput(std::shared_ptr<JackSession> session, std::shared_ptr<Link> link);
  std::shared_ptr<JackSession> m_session;
  std::shared_ptr<Link> m_link;
};

}  // namespace midi
