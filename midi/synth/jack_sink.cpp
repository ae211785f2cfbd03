// SPDX-License-Identifier: GPL-3.0-or-later
#include "midi/synth/jack_sink.h"

#include <algorithm>
#include <cerrno>
#include <new>

#include "midi/servers/clock.h"

namespace midi {

bool JackSink::Link::attach(jack_client_t* client) {
  jack_port_t* left =
      jack_port_register(client, "left", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
  jack_port_t* right =
      jack_port_register(client, "right", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
  if (!left || !right) {
    if (left) jack_port_unregister(client, left);
    if (right) jack_port_unregister(client, right);
    return false;
  }
  period.store(jack_get_buffer_size(client));
  rate.store(jack_get_sample_rate(client));
  m_right.store(right);
  m_left.store(left, std::memory_order_release);
  for (SinkState from : {SinkState::Lost, SinkState::Connecting})
    state.compare_exchange_strong(from, nextSinkState(from, SinkEvent::Accepted));
  {
    std::lock_guard lock(m_attachMutex);  // for an open that waits for it
  }
  m_attached.notify_all();
  return true;
}

bool JackSink::Link::awaitAttached(std::chrono::milliseconds deadline) {
  std::unique_lock lock(m_attachMutex);
  return m_attached.wait_for(lock, deadline, [this] { return rate.load() != 0; });
}

void JackSink::Link::detach(jack_client_t* client, Detach why) {
  jack_port_t* left = m_left.exchange(nullptr);
  jack_port_t* right = m_right.exchange(nullptr);
  // A renewal takes the ports with the old client on a live server: the synthesizer plays on,
  // and its sound comes again through the new client's ports, which attach() registers at once.
  if (why == Detach::Renewal) return;
  if (why != Detach::Leaving) {
    // Under the message lock, so that a message that found the sink awake has landed first and is
    // switched off with the rest: nothing that sounded may come back hanging with the server.
    std::lock_guard lock(m_messages);
    state.store(nextSinkState(state.load(), SinkEvent::Gone));
    if (m_client.lost) m_client.lost(m_client.user);
    return;
  }
  if (left) jack_port_unregister(client, left);
  if (right) jack_port_unregister(client, right);
}

void JackSink::Link::disconnect(jack_client_t* client) {
  for (jack_port_t* port : {m_left.load(), m_right.load()})
    if (port) jack_port_disconnect(client, port);
}

// The synthesizer may be gone: silence.
void JackSink::Link::leave(const JackCycle& cycle) {
  const jack_nframes_t frames = cycle.frames;
  for (jack_port_t* port : {m_left.load(std::memory_order_acquire), m_right.load()}) {
    if (!port) continue;
    auto* buffer = static_cast<float*>(jack_port_get_buffer(port, frames));
    std::fill(buffer, buffer + frames, 0.0f);
  }
}

bool JackSink::Link::reconcile(jack_client_t* client) {
  jack_port_t* ours[2] = {m_left.load(), m_right.load()};
  if (!ours[0] || !ours[1]) return false;
  const char** playback = jack_get_ports(client, nullptr, JACK_DEFAULT_AUDIO_TYPE,
                                         JackPortIsPhysical | JackPortIsInput);
  if (!playback) return false;  // nowhere to play: the ports stay for a patchbay
  bool refused = false;
  for (int i = 0; i < 2; ++i) {
    const char* target = playback[i == 1 && playback[1] ? 1 : 0];
    if (jack_port_connected_to(ours[i], target)) continue;
    const int rc = jack_connect(client, jack_port_name(ours[i]), target);
    refused = refused || (rc != 0 && rc != EEXIST);
  }
  jack_free(playback);
  return refused;
}

void JackSink::Link::process(const JackCycle& cycle) {
  const jack_nframes_t frames = cycle.frames;
  jack_port_t* leftPort = m_left.load(std::memory_order_acquire);
  jack_port_t* rightPort = m_right.load();
  if (!leftPort || !rightPort) return;
  auto* left = static_cast<float*>(jack_port_get_buffer(leftPort, frames));
  auto* right = static_cast<float*>(jack_port_get_buffer(rightPort, frames));
  if (state.load(std::memory_order_acquire) != SinkState::Running) {
    std::fill(left, left + frames, 0.0f);
    std::fill(right, right + frames, 0.0f);
    return;
  }
  m_client.render(m_client.user, left, right, 1, frames);
  if (nowNs() - lastMessageNs.load() < m_idleNs || m_client.sounding(m_client.user)) return;
  SinkState running = SinkState::Running;
  if (!state.compare_exchange_strong(running, nextSinkState(running, SinkEvent::Quiet))) return;
  // A message that came meanwhile moved lastMessageNs before it looked at the state.
  SinkState asleep = SinkState::Asleep;
  if (nowNs() - lastMessageNs.load() < m_idleNs)
    state.compare_exchange_strong(asleep, nextSinkState(asleep, SinkEvent::Message));
}

bool JackSink::Link::awake() {
  lastMessageNs.store(nowNs());
  SinkState asleep = SinkState::Asleep;
  state.compare_exchange_strong(asleep, nextSinkState(asleep, SinkEvent::Message));
  const SinkState now = state.load();
  return now != SinkState::Lost && now != SinkState::Connecting;
}

JackSink::JackSink(std::shared_ptr<JackSession> session, std::shared_ptr<Link> link)
    : m_session(std::move(session)), m_link(std::move(link)) {}

ResultCode JackSink::open(const std::shared_ptr<JackSession>& session, const AudioClient& client,
                          std::chrono::milliseconds idleSleep, std::chrono::milliseconds deadline,
                          std::unique_ptr<JackSink>& out, int& sampleRate) {
  out.reset();
  if (!session) return MMSYSERR_NODRIVER;
  const auto until = std::chrono::steady_clock::now() + deadline;
  std::shared_ptr<Link> link;
  try {
    link = std::make_shared<Link>(client, idleSleep);
    out.reset(new JackSink(session, link));
  } catch (const std::bad_alloc&) {
    return MMSYSERR_NOMEM;
  }
  auto served = std::make_shared<std::atomic<bool>>(false);
  const bool answered = session->call(
      [session, link, served] { served->store(session->client() && session->add(link)); },
      deadline);
  if (answered && !served->load()) {
    out.reset();  // no JACK server
    return MMSYSERR_NODRIVER;
  }
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      until - std::chrono::steady_clock::now());
  if (!answered || !link->awaitAttached(std::max(left, std::chrono::milliseconds(0))))
    return MMSYSERR_NODRIVER;  // it goes on: the session registers the ports when it can
  sampleRate = static_cast<int>(link->rate.load());
  return MMSYSERR_NOERROR;
}

JackSink::~JackSink() { m_session->remove(m_link); }

SinkState JackSink::state() const { return m_link->state.load(); }

int JackSink::sampleRate() const { return static_cast<int>(m_link->rate.load()); }

double JackSink::latencyMilliseconds() const {
  const jack_nframes_t rate = m_link->rate.load();
  return rate ? 1000.0 * m_link->period.load() / rate : 0.0;
}

}  // namespace midi
