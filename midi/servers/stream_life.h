// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The side of a sound server's stream that the caller's thread meets, the same for every server:
// a message takes one mutex, is handed to the synthesizer, and wakes a sleeping stream through
// its own thread, so the caller never waits on the server. The stream's thread drives the rest of
// the life (audio_client.h) through apply().

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "midi/log.h"
#include "midi/servers/audio_client.h"
#include "midi/servers/clock.h"

namespace midi {

class StreamLife {
 public:
  // server: its name in the log ("PulseAudio").
  StreamLife(const AudioClient& client, const char* server) : m_client(client), m_server(server) {}
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

  // What a change of state has for the log: a server that had the stream and went, or came
  // back after that. A server that never had it (none at start-up, one with no sink) has none.
  enum class News { None, Lost, Back };

  // Every change of state goes through here, with m_mutex held. Gone switches the voices off.
  // The news goes to tell() once m_mutex is let go: the log may wait on the terminal, and the
  // caller's thread takes m_mutex for every message.
  News apply(SinkEvent event) {
    News news = News::None;
    if (event == SinkEvent::Gone && (m_state == SinkState::Asleep || m_state == SinkState::Running))
      news = News::Lost;
    else if (event == SinkEvent::Accepted && m_state == SinkState::Connecting && m_wasLost)
      news = News::Back;
    if (news != News::None) m_wasLost = news == News::Lost;
    m_state = nextSinkState(m_state, event);
    if (event == SinkEvent::Gone) {
      m_wakePending = false;
      if (m_client.lost) m_client.lost(m_client.user);
    }
    changed();
    return news;
  }
  // On the stream's own thread, never its real-time one.
  void tell(News news) const {
    if (news == News::None) return;
    const bool lost = news == News::Lost;
    logEvent(LogRoom::Servers, lost ? LogLevel::Warning : LogLevel::Info,
             std::string(m_server) + (lost ? " lost" : " back"),
             std::string(m_server) +
                 (lost ? ": the server went away; the MIDI Mapper's stream waits for it"
                       : ": the server is back; the MIDI Mapper's stream plays again"));
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
  const char* const m_server;
  bool m_wasLost = false;  // m_mutex: the server had the stream and went
  std::atomic<std::int64_t> m_lastMessageNs{0};
};

}  // namespace midi
