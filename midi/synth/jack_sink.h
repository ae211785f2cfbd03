// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The synthesizer's sound through the program's JACK session: two audio output ports of the
// session's client ("left", "right"), connected to the first two physical playback ports, and
// rendered in the session's process callback. Like the ports it follows the server: after a
// restart the ports are registered and connected again and the next note sounds, with no menu
// choice. It sleeps (renders silence, which costs next to nothing) when nothing has sounded for
// a while; the next message wakes it with one atomic store, so the caller never waits.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>

#include "midi/servers/audio_client.h"
#include "midi/servers/jack_session.h"
#include "midi/midi_service.h"

namespace midi {

class JackSink {
 public:
  // Connecting: its ports are not registered yet (the session has not answered, or a Mapper
  // before it still holds their names). Running: rendering. Asleep: silence, until the next
  // message. Lost: the server has gone; messages fail until it is back (then Asleep).

  // MMSYSERR_NOERROR once the ports are registered, with sampleRate the server's. Otherwise
  // MMSYSERR_NODRIVER: with out empty when there is no JACK server, and with out holding the
  // sink, still Connecting, when the session did not answer by the deadline or the ports could
  // not be registered yet; the session registers them as soon as it can.
  static ResultCode open(const std::shared_ptr<JackSession>& session, const AudioClient& client,
                         std::chrono::milliseconds idleSleep, std::chrono::milliseconds deadline,
                         std::unique_ptr<JackSink>& out, int& sampleRate);
  ~JackSink();  // the callback no longer renders once this returns
  JackSink(const JackSink&) = delete;
  JackSink& operator=(const JackSink&) = delete;

  // Hands one message to the synthesizer through apply() and wakes a sleeping sink. Returns
  // false, without calling apply(), while the server is gone.
  template <class Apply>
  bool play(Apply&& apply) {
    std::lock_guard lock(m_mutex);
    if (!awake()) return false;  // Lost or Connecting
    apply();
    return true;
  }

  SinkState state() const;
  // The server's period, in milliseconds.
  double latencyMilliseconds() const;
  int sampleRate() const;

  class Link;

 private:
  JackSink(std::shared_ptr<JackSession> session, std::shared_ptr<Link> link);
  bool awake();  // false while Lost or Connecting
  std::mutex m_mutex;
  std::shared_ptr<JackSession> m_session;
  std::shared_ptr<Link> m_link;
};

}  // namespace midi
