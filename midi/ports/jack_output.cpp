// SPDX-License-Identifier: GPL-3.0-or-later
#include "midi/ports/jack_output.h"

#include <jack/midiport.h>

#include <cerrno>
#include <new>
#include <string>

#include "midi/log.h"
#include "midi/ports/cycled_output.h"
#include "midi/ports/port_presence.h"
#include "midi/servers/clock.h"

namespace midi {

namespace {

constexpr std::int64_t kRetryGapNs = 50'000'000;  // between two connects that were refused

std::atomic<unsigned> g_portNumber{0};

bool writeEvent(void* buffer, const unsigned char* bytes, std::size_t length) {
  return jack_midi_event_write(buffer, 0, bytes, length) == 0;
}

}  // namespace

class JackPortOutput::Link final : public JackEndpoint {
 public:
  explicit Link(std::string target)
      : m_target(std::move(target)), m_name("midi_out_" + std::to_string(++g_portNumber)) {}

  bool ready() const { return m_out.ready(); }
  OutputState state() const { return m_out.state(); }
  bool attachedPort() const { return m_port.load() != nullptr; }
  ResultCode send(std::uint32_t message) { return m_out.send(message); }

  bool attach(jack_client_t* client) override {
    jack_port_t* port =
        jack_port_register(client, m_name.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    m_port.store(port, std::memory_order_release);
    return port != nullptr;
  }

  void detach(jack_client_t* client, Detach why) override {
    jack_port_t* port = m_port.exchange(nullptr);
    if (why == Detach::Leaving) {
      if (port) jack_port_unregister(client, port);
      m_out.abandon();
      report();  // the session looks no more
      return;
    }
    if (why == Detach::Renewal)
      m_out.renew();
    else
      m_out.step(OutputEvent::ServerGone);
  }

  void disconnect(jack_client_t* client) override {
    if (jack_port_t* port = m_port.load()) jack_port_disconnect(client, port);
  }

  // A leaving output still sends what it owes: the Note Offs of the keys held when it closed. It
  // owns everything that takes.
  void leave(const JackCycle& cycle) override { process(cycle); }
  bool settled() const override { return !attachedPort() || m_out.settled(); }

  bool reconcile(jack_client_t* client) override {
    jack_port_t* port = m_port.load();
    if (!port) return false;
    const char* target = m_target.c_str();
    if (!jack_port_by_name(client, target)) {
      step(OutputEvent::PortGone);
      return false;
    }
    if (jack_port_connected_to(port, target)) {
      step(OutputEvent::Confirmed);
      return false;
    }
    const OutputStep s = m_out.step(state() == OutputState::Connected ? OutputEvent::Refused
                                                                      : OutputEvent::PortThere);
    if (!s.connect) return false;
    if (nowNs() < m_nextTryNs) return true;  // every graph change would ask again at once
    // jackd refuses a port whose client is not active yet; a refusal is tried again.
    const int rc = jack_connect(client, jack_port_name(port), target);
    if ((rc == 0 || rc == EEXIST) && jack_port_connected_to(port, target)) {
      step(OutputEvent::Confirmed);
      return false;
    }
    m_out.step(OutputEvent::Refused);
    m_nextTryNs = nowNs() + kRetryGapNs;
    return true;
  }

  // What happened out of sight since the last look: Note Ons dropped as stale.
  void report() override {
    const std::uint64_t dropped = m_out.staleDropped();
    if (dropped == m_staleReported) return;
    logEvent(LogRoom::Ports, LogLevel::Warning, "jack stale",
             "JACK port " + m_target + ": " + std::to_string(dropped - m_staleReported) +
                 " Note On(s) dropped as stale, with their Note Offs (held up past " +
                 "the stale limit by a stalled server or a connection not yet made)");
    m_staleReported = dropped;
  }

  // Asking libjack whether the connection holds would take its lock under PipeWire: the
  // session's thread confirms it (reconcile), and the cycle only reads the state.
  void process(const JackCycle& cycle) override {
    jack_port_t* port = m_port.load(std::memory_order_acquire);
    if (!port) return;
    void* buffer = jack_port_get_buffer(port, cycle.frames);
    jack_midi_clear_buffer(buffer);
    m_out.process(cycle, nowNs(), {buffer, writeEvent});
  }

 private:
  // One observation of the peer's, and the line when its port went or came back.
  void step(OutputEvent event) {
    const OutputState before = m_out.state();
    m_presence.tell(before, m_out.step(event).next, event);
  }

  const std::string m_target;  // the peer's full "client:port" name
  const std::string m_name;    // our port's short name
  CycledOutput m_out{nowNs};
  std::atomic<jack_port_t*> m_port{nullptr};
  std::int64_t m_nextTryNs = 0;  // session thread: when a refused connection is asked again
  PortPresence m_presence{"JACK", m_target};  // session thread
  std::uint64_t m_staleReported = 0;          // session thread
};

JackPortOutput::JackPortOutput(std::shared_ptr<JackSession> session, std::shared_ptr<Link> link)
    : m_session(std::move(session)), m_link(std::move(link)) {}

ResultCode JackPortOutput::open(const std::shared_ptr<JackSession>& session, const PortInfo& port,
                                std::unique_ptr<JackPortOutput>& out) {
  out.reset();
  if (!session) return MMSYSERR_NODRIVER;
  std::shared_ptr<Link> link;
  try {
    link = std::make_shared<Link>(port.portName);
    out.reset(new JackPortOutput(session, link));
  } catch (const std::bad_alloc&) {
    return MMSYSERR_NOMEM;
  }
  if (!link->ready()) {
    out.reset();
    return MMSYSERR_NOMEM;
  }
  // The task owns what it touches: if the server does not answer in time, it runs when it does.
  auto rc = std::make_shared<std::atomic<ResultCode>>(MMSYSERR_ERROR);
  const bool answered = session->call(
      [session, link, rc, port] {
        jack_client_t* client = session->client();
        // No server, or no such port: the port has gone (with its server).
        if (!client || !jack_port_by_name(client, port.portName.c_str())) return;
        if (!session->add(link)) {
          rc->store(MMSYSERR_NOMEM);
          return;
        }
        // Registered: the server answers. The connection follows on the session's thread;
        // messages sent meanwhile wait in the queue.
        rc->store(link->attachedPort() ? MMSYSERR_NOERROR : MMSYSERR_ERROR);
      },
      kOpenDeadline);
  if (answered && rc->load() == MMSYSERR_NOERROR) return MMSYSERR_NOERROR;
  if (!answered)
    logEvent(LogRoom::Ports, LogLevel::Warning, "jack open late",
             "JACK port " + port.portName + ": the server did not answer within " +
                 std::to_string(kOpenDeadline.count()) + " ms");
  out.reset();  // leaves the session
  return answered ? rc->load() : MMSYSERR_ERROR;
}

JackPortOutput::~JackPortOutput() { m_session->remove(m_link); }

ResultCode JackPortOutput::send(std::uint32_t message) { return m_link->send(message); }

OutputState JackPortOutput::state() const { return m_link->state(); }

}  // namespace midi
