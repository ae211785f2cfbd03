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
#include "midi/service/midi_service.h"

namespace midi {

class JackSink {
 public:
  // Running: rendering. Asleep: silence, until the next message. Lost: the server has gone;
  // messages fail until it is back (then Asleep). A JACK sink is never Connecting: the session
  // has the client.
  static constexpr auto kOpenDeadline = std::chrono::milliseconds(250);

  // MMSYSERR_NODRIVER when no JACK server answers in time. sampleRate is the server's.
  static ResultCode open(const std::shared_ptr<JackSession>& session, const AudioClient& client,
                         std::chrono::milliseconds idleSleep, std::unique_ptr<JackSink>& out,
                         int& sampleRate);
  ~JackSink();  // the callback no longer renders once this returns
  JackSink(const JackSink&) = delete;
  JackSink& operator=(const JackSink&) = delete;

  // Hands one message to the synthesizer through apply() and wakes a sleeping sink. Returns
  // false, without calling apply(), while the server is gone.
  template <class Apply>
  bool play(Apply&& apply) {
    std::lock_guard lock(m_mutex);
    if (!awake()) return false;
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
  bool awake();  // false while Lost
  std::mutex m_mutex;
  std::shared_ptr<JackSession> m_session;
  std::shared_ptr<Link> m_link;
};

}  // namespace midi
