// SPDX-License-Identifier: GPL-3.0-or-later
#include "midi/ports/alsa_output.h"

#include <atomic>
#include <cerrno>
#include <mutex>
#include <new>
#include <string>

#include "midi/log.h"
#include "midi/ports/note_ledger.h"
#include "midi/ports/port_presence.h"

namespace midi {

namespace {

// "client:port" of the port at addr, or an empty string when there is none.
std::string namesAt(snd_seq_t* seq, const snd_seq_addr_t& addr) {
  snd_seq_client_info_t* client;
  snd_seq_port_info_t* port;
  snd_seq_client_info_alloca(&client);
  snd_seq_port_info_alloca(&port);
  if (snd_seq_get_any_client_info(seq, addr.client, client) < 0 ||
      snd_seq_get_any_port_info(seq, addr.client, addr.port, port) < 0)
    return {};
  return std::string(snd_seq_client_info_get_name(client)) + ":" + snd_seq_port_info_get_name(port);
}

}  // namespace

bool toSequencerEvent(std::uint32_t message, int port, snd_seq_event_t& event) {
  const auto channel = static_cast<unsigned char>(message & 0x0F);
  const auto data1 = static_cast<unsigned char>(message >> 8 & 0x7F);
  const auto data2 = static_cast<unsigned char>(message >> 16 & 0x7F);
  snd_seq_ev_clear(&event);
  switch (message & 0xF0) {
    case 0x80: snd_seq_ev_set_noteoff(&event, channel, data1, data2); break;
    case 0x90: snd_seq_ev_set_noteon(&event, channel, data1, data2); break;
    case 0xA0: snd_seq_ev_set_keypress(&event, channel, data1, data2); break;
    case 0xB0: snd_seq_ev_set_controller(&event, channel, data1, data2); break;
    case 0xC0: snd_seq_ev_set_pgmchange(&event, channel, data1); break;
    case 0xD0: snd_seq_ev_set_chanpress(&event, channel, data1); break;
    case 0xE0: snd_seq_ev_set_pitchbend(&event, channel, (data2 << 7 | data1) - 8192); break;
    default: return false;
  }
  snd_seq_ev_set_source(&event, static_cast<unsigned char>(port));
  snd_seq_ev_set_subs(&event);
  snd_seq_ev_set_direct(&event);
  return true;
}

std::vector<PortInfo> listAlsaPorts(const std::shared_ptr<AlsaSession>& session,
                                    std::chrono::milliseconds deadline) {
  if (!session) return {};
  auto found = std::make_shared<std::vector<AlsaPortAddress>>();
  // The task runs on the session's thread, so the session is there while it runs.
  AlsaSession* s = session.get();
  if (!session->call([s, found] { *found = s->writablePorts(); }, deadline)) {
    logEvent(LogRoom::Ports, LogLevel::Warning, "alsa listing late",
             "ALSA sequencer: no list of ports within " + std::to_string(deadline.count()) +
                 " ms; none are offered");
    return {};
  }
  std::vector<PortInfo> ports;
  for (const AlsaPortAddress& a : *found) {
    std::string name = a.clientName + ":" + a.portName + " " + std::to_string(a.client) + ":" +
                       std::to_string(a.port);
    const std::string display = alsaDisplayName(name);
    if (!display.empty())
      ports.push_back(
          {PortApi::Alsa, std::move(name), cutUtf8(display, sizeof(MidiOutCaps::szPname) - 1)});
  }
  return ports;
}

class AlsaPortOutput::Link final : public AlsaListener {
 public:
  Link(int ourClient, const PortInfo& port)
      : m_ourClient(ourClient), m_names(alsaPortNames(port.portName)), m_presence("ALSA", m_names) {
    int client = -1;
    int number = -1;
    if (alsaAddress(port.portName, client, number))
      m_target = {static_cast<unsigned char>(client), static_cast<unsigned char>(number)};
  }

  OutputState state() const { return m_state.load(std::memory_order_acquire); }
  bool wantsTick() const { return m_pendingOff.any(); }

  // --- the caller's thread ---
  ResultCode send(std::uint32_t message) {
    if (shortMessageLength(message) == 0) return MMSYSERR_INVALPARAM;
    message &= 0x007F7FFF;  // data bytes are seven bits
    const unsigned note = noteIndex(message);
    // A Note Off whose Note On never reached the peer has nothing to switch off.
    if (isNoteOff(message) && !m_sounding.test(note)) return MMSYSERR_NOERROR;
    std::lock_guard lock(m_sendMutex);
    if (state() == OutputState::Connected) {
      flushPending();
      if (write(message)) {
        if (isNoteOn(message)) m_sounding.set(note);
        if (isNoteOff(message)) m_sounding.clear(note);
        return MMSYSERR_NOERROR;
      }
    }
    if (isNoteOff(message)) m_pendingOff.set(note);  // it goes as soon as it can
    return MMSYSERR_ERROR;
  }

  // --- the session's thread ---
  void attach(snd_seq_t* seq) override {
    m_seq = seq;
    m_port =
        snd_seq_create_simple_port(seq, "out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                   SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    // The port as listed, at its listed address; only if something else is there now, by its
    // names elsewhere.
    if (m_port >= 0) lookFor(seq);
  }

  void announced(snd_seq_t* seq, const snd_seq_event_t* event) override {
    if (m_port < 0) return;
    if (!event) {  // announcements were lost: is our peer still where it was?
      if (state() != OutputState::Lost && namesAt(seq, m_target) != m_names)
        apply(seq, OutputEvent::PortGone);
      if (state() != OutputState::Connected) lookFor(seq);
      return;
    }
    const snd_seq_addr_t& addr = event->data.addr;
    switch (event->type) {
      case SND_SEQ_EVENT_PORT_EXIT:
        if (addr.client == m_target.client && addr.port == m_target.port)
          apply(seq, OutputEvent::PortGone);
        break;
      case SND_SEQ_EVENT_CLIENT_EXIT:
        if (addr.client == m_target.client) apply(seq, OutputEvent::PortGone);
        break;
      case SND_SEQ_EVENT_PORT_UNSUBSCRIBED: {  // someone cut our link: make it again
        const snd_seq_connect_t& link = event->data.connect;
        // Only the link to our peer: others may read our port too (a patchbay, a recorder).
        if (link.sender.client == m_ourClient && link.sender.port == m_port &&
            link.dest.client == m_target.client && link.dest.port == m_target.port &&
            state() == OutputState::Connected)
          apply(seq, OutputEvent::Refused);
        break;
      }
      case SND_SEQ_EVENT_PORT_START:
      case SND_SEQ_EVENT_PORT_CHANGE:
      case SND_SEQ_EVENT_CLIENT_START:
      case SND_SEQ_EVENT_CLIENT_CHANGE:
        if (state() != OutputState::Connected) lookFor(seq);
        break;
      default: break;
    }
  }

  bool tick(snd_seq_t* seq) override {
    if (m_retryConnect && state() == OutputState::Connecting) lookFor(seq);
    if (state() == OutputState::Connected && m_pendingOff.any()) {
      std::lock_guard lock(m_sendMutex);
      flushPending();
    }
    return m_retryConnect || (state() == OutputState::Connected && m_pendingOff.any());
  }

  void sessionGone() override { apply(nullptr, OutputEvent::ServerGone); }

  void detach(snd_seq_t* seq) override {
    std::lock_guard lock(m_sendMutex);
    m_state.store(OutputState::Lost, std::memory_order_release);
    if (m_port >= 0) snd_seq_delete_simple_port(seq, m_port);
    m_port = -1;
  }

 private:
  // Finds the peer's port by its names (where it was listed first) and connects to it.
  void lookFor(snd_seq_t* seq) {
    m_retryConnect = false;
    if (namesAt(seq, m_target) != m_names && !search(seq)) return;
    apply(seq, OutputEvent::PortThere);
  }

  bool search(snd_seq_t* seq) {
    for (const AlsaPortAddress& p : AlsaSession::writablePorts(seq, m_ourClient)) {
      if (p.clientName + ":" + p.portName == m_names) {
        m_target = {static_cast<unsigned char>(p.client), static_cast<unsigned char>(p.port)};
        return true;
      }
    }
    return false;
  }

  void apply(snd_seq_t* seq, OutputEvent event) {
    const OutputStep step = nextOutputState(state(), event);
    m_presence.tell(state(), step.next, event);  // the session's own line tells of the sequencer
    if (step.switchOffFirst) {
      std::lock_guard lock(m_sendMutex);
      switchOff();
      m_state.store(step.next, std::memory_order_release);
      return;
    }
    m_state.store(step.next, std::memory_order_release);
    if (step.connect && seq) {
      // The subscription is made, or already there (EBUSY): confirmed. Anything else is
      // refused, and tried again on the next tick.
      const int rc = snd_seq_connect_to(seq, m_port, m_target.client, m_target.port);
      if (rc >= 0 || rc == -EBUSY) {
        apply(seq, OutputEvent::Confirmed);
      } else {
        m_state.store(nextOutputState(step.next, OutputEvent::Refused).next);
        m_retryConnect = true;
      }
    }
  }

  // Under m_sendMutex. The Note Offs of every note that reached the peer; those that cannot go
  // stay remembered.
  void switchOff() {
    m_pendingOff.takeEach([](unsigned) {});
    bool blocked = false;
    m_sounding.takeEach([&](unsigned index) {
      blocked = blocked || !write(noteOffFor(index));
      if (!blocked) return;
      m_sounding.set(index);
      m_pendingOff.set(index);
    });
  }

  // Under m_sendMutex. The remembered Note Offs, until one cannot go.
  void flushPending() {
    if (!m_pendingOff.any()) return;
    bool blocked = false;
    m_pendingOff.takeEach([&](unsigned index) {
      blocked = blocked || !write(noteOffFor(index));
      if (blocked)
        m_pendingOff.set(index);
      else
        m_sounding.clear(index);
    });
  }

  bool write(std::uint32_t message) {
    snd_seq_event_t event;
    return m_port >= 0 && toSequencerEvent(message, m_port, event) &&
           snd_seq_event_output_direct(m_seq, &event) >= 0;
  }

  const int m_ourClient;
  std::string m_names;          // "client:port" of the peer's port
  PortPresence m_presence;      // session thread
  snd_seq_addr_t m_target{};    // where the peer's port is (session thread)
  snd_seq_t* m_seq = nullptr;   // set by attach, before any send
  int m_port = -1;              // ours; changed under m_sendMutex after attach
  bool m_retryConnect = false;  // session thread
  std::atomic<OutputState> m_state{OutputState::Connecting};
  std::mutex m_sendMutex;
  NoteLedger m_sounding;    // notes whose Note On reached the peer and that are not off yet
  NoteLedger m_pendingOff;  // of those, the ones whose Note Off could not go
};

AlsaPortOutput::AlsaPortOutput(std::shared_ptr<AlsaSession> session, std::shared_ptr<Link> link)
    : m_session(std::move(session)), m_link(std::move(link)) {}

ResultCode AlsaPortOutput::open(const std::shared_ptr<AlsaSession>& session, const PortInfo& port,
                                std::unique_ptr<AlsaPortOutput>& out) {
  out.reset();
  if (!session || session->state() != AlsaSession::State::Open) return MMSYSERR_NODRIVER;
  std::shared_ptr<Link> link;
  try {
    link = std::make_shared<Link>(session->client(), port);
    out.reset(new AlsaPortOutput(session, link));
  } catch (const std::bad_alloc&) {
    return MMSYSERR_NOMEM;
  }
  // The task owns what it touches; it runs on the session's thread, so the session is there.
  auto connected = std::make_shared<std::atomic<bool>>(false);
  AlsaSession* s = session.get();
  const bool answered = session->call(
      [s, link, connected] {
        s->add(link);
        connected->store(link->state() == OutputState::Connected);
      },
      kOpenDeadline);
  if (answered && connected->load()) return MMSYSERR_NOERROR;
  if (!answered)
    logEvent(LogRoom::Ports, LogLevel::Warning, "alsa open late",
             "ALSA port " + port.portName + ": the session did not answer within " +
                 std::to_string(kOpenDeadline.count()) + " ms");
  out.reset();  // leaves the session
  return MMSYSERR_ERROR;
}

AlsaPortOutput::~AlsaPortOutput() {
  AlsaSession* s = m_session.get();
  m_session->post([s, link = std::move(m_link)] { s->retire(link, kCloseGrace); });
}

ResultCode AlsaPortOutput::send(std::uint32_t message) {
  const ResultCode rc = m_link->send(message);
  if (rc != MMSYSERR_NOERROR && m_link->wantsTick()) m_session->nudge();
  return rc;
}

OutputState AlsaPortOutput::state() const { return m_link->state(); }

}  // namespace midi
