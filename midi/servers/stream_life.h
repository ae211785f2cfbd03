// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The side of a sound server's stream that the caller's thread meets, the same for every server:
// a message takes one mutex, is handed to the synthesizer, and wakes a sleeping stream through
// its own thread, so the caller never waits on the server. The stream's thread drives the rest of
// the life (audio_client.h) through apply().

#include <atomic>
#include <cstdint>
#include <mutex>

#include "midi/servers/audio_client.h"
#include "midi/servers/clock.h"

namespace midi {

class StreamLife {
 public:
  explicit StreamLife(const AudioClient& client) : m_client(client) {}
  virtual ~StreamLife() = default;
  StreamLife(const StreamLife&) = delete;
  StreamLife& operator=(const StreamLife&) = delete;

  // Hands one message to the synthesizer through apply(), under the message lock, and wakes a
  // sleeping stream. Returns false, without calling apply(), until the server has the stream.
  template <class Apply>
  bool play(Apply&& apply) {
    std::lock_guard lock(m_mutex);
    if (m_state == SinkState::Lost || m_state == SinkState::Connecting) return false;
    apply();
    m_lastMessageNs.store(nowNs());
    if (m_state == SinkState::Asleep && !m_wakePending) {
      m_wakePending = true;
      wake();
    }
    return true;
  }

  SinkState state() const {
    std::lock_guard lock(m_mutex);
    return m_state;
  }

 protected:
  // Asks the stream's thread, without waiting, to run; its handler takes m_wakePending.
  virtual void wake() = 0;
  // After every change of state (an open waits for the first outcome).
  virtual void changed() = 0;

  // Every change of state goes through here, with m_mutex held. Gone switches the voices off.
  void apply(SinkEvent event) {
    m_state = nextSinkState(m_state, event);
    if (event == SinkEvent::Gone) {
      m_wakePending = false;
      if (m_client.lost) m_client.lost(m_client.user);
    }
    changed();
  }
  // Whether nothing has been played for idle.
  bool quietFor(std::chrono::milliseconds idle) const {
    return nowNs() - m_lastMessageNs.load() >=
           std::chrono::duration_cast<std::chrono::nanoseconds>(idle).count();
  }

  const AudioClient m_client;
  mutable std::mutex m_mutex;  // the message lock: m_state, m_wakePending
  SinkState m_state = SinkState::Connecting;
  bool m_wakePending = false;

 private:
  std::atomic<std::int64_t> m_lastMessageNs{0};
};

}  // namespace midi
