// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// One open ALSA sequencer port: an output port of the session's client, subscribed to the chosen
// peer. The output counts as connected only once the subscription exists. A send goes straight
// to the kernel without waiting (non-blocking): when it cannot go (the port has gone, the peer's
// queue is full because it stopped reading) it fails at once with MMSYSERR_ERROR, and
//   - a Note On that could not go is dropped: it never plays late, and its Note Off need not go;
//   - a Note Off that could not go, for a note that reached the peer, is remembered and sent as
//     soon as it can: tried again every 100 ms, and first of all when the peer's port is back.
// The output follows its peer (output_life.h): when a port with the same client and port names
// comes back, whatever its numbers, the output subscribes to it by itself and sends first the
// Note Offs of the notes that were on when it went.

#include <alsa/asoundlib.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "midi/midi_service.h"
#include "midi/ports/output_life.h"
#include "midi/ports/port_names.h"
#include "midi/servers/alsa_session.h"

namespace midi {

// The sequencer's writable ports as the device menu lists them; none without a session, or when
// the session does not answer within deadline.
std::vector<PortInfo> listAlsaPorts(const std::shared_ptr<AlsaSession>& session,
                                    std::chrono::milliseconds deadline);

// The sequencer event of a short channel message, its data bytes masked to seven bits, from
// port to its subscribers, delivered at once. False for anything but a channel message.
bool toSequencerEvent(std::uint32_t message, int port, snd_seq_event_t& event);

class AlsaPortOutput {
 public:
  // How long the caller waits for the session to make the port and the subscription.
  static constexpr auto kOpenDeadline = std::chrono::milliseconds(250);

  // MMSYSERR_NODRIVER without a sequencer; MMSYSERR_ERROR when the port is not there or the
  // subscription is refused.
  static ResultCode open(const std::shared_ptr<AlsaSession>& session, const PortInfo& port,
                         std::unique_ptr<AlsaPortOutput>& out);
  // Returns at once. The session lets the port go once the Note Offs that could not go yet have
  // gone (a stopped peer that resumes gets them), or after kCloseGrace.
  ~AlsaPortOutput();
  static constexpr auto kCloseGrace = std::chrono::seconds(2);
  AlsaPortOutput(const AlsaPortOutput&) = delete;
  AlsaPortOutput& operator=(const AlsaPortOutput&) = delete;

  ResultCode send(std::uint32_t message);
  OutputState state() const;

  class Link;

 private:
  AlsaPortOutput(std::shared_ptr<AlsaSession> session, std::shared_ptr<Link> link);
  std::shared_ptr<AlsaSession> m_session;
  std::shared_ptr<Link> m_link;
};

}  // namespace midi
