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
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>

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
  bool play(Apply&& apply);

  SinkState state() const;
  // The server's period, in milliseconds.
  double latencyMilliseconds() const;
  int sampleRate() const;

  class Link;

 private:
  JackSink(std::shared_ptr<JackSession> session, std::shared_ptr<Link> link);
  std::shared_ptr<JackSession> m_session;
  std::shared_ptr<Link> m_link;
};

// The sink's side of the session's client: its ports, its render in the process callback, and
// the state that messages, the callback and the session's thread share.
class JackSink::Link final : public JackEndpoint {
 public:
  Link(const AudioClient& client, std::chrono::milliseconds idleSleep)
      : m_client(client),
        m_idleNs(std::chrono::duration_cast<std::chrono::nanoseconds>(idleSleep).count()) {}

  // Every change of state: Message (any thread), Quiet (the process thread), Gone (the server
  // went, the session's thread), Accepted (the ports registered, the session's thread). Each is
  // one compare-and-swap from the state nextSinkState() gives, since the real-time thread takes
  // no lock. A message and Gone also hold the message lock, as StreamLife's do.
  std::atomic<SinkState> state{SinkState::Connecting};
  std::atomic<std::int64_t> lastMessageNs{0};
  std::atomic<jack_nframes_t> period{0};
  std::atomic<jack_nframes_t> rate{0};

  // JackSink::play. A server that goes takes the same lock to switch the sounds off, so no
  // message that found the sink awake lands after that.
  template <class Apply>
  bool play(Apply&& apply) {
    std::lock_guard lock(m_messages);
    if (!awake()) return false;  // Lost or Connecting
    apply();
    return true;
  }
  // Whether the ports are registered within deadline.
  bool awaitAttached(std::chrono::milliseconds deadline);

  bool attach(jack_client_t* client) override;
  void detach(jack_client_t* client, Detach why) override;
  void disconnect(jack_client_t* client) override;
  bool settled() const override { return true; }
  void leave(const JackCycle& cycle) override;
  bool reconcile(jack_client_t* client) override;
  void process(const JackCycle& cycle) override;

 private:
  bool awake();  // false while Lost or Connecting
  const AudioClient m_client;
  const std::int64_t m_idleNs;
  std::mutex m_messages;  // a message, and the switch-off when the server goes
  std::atomic<jack_port_t*> m_left{nullptr};
  std::atomic<jack_port_t*> m_right{nullptr};
  std::mutex m_attachMutex;
  std::condition_variable m_attached;
};

template <class Apply>
bool JackSink::play(Apply&& apply) {
  return m_link->play(std::forward<Apply>(apply));
}

}  // namespace midi
