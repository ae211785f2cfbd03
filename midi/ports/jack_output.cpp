// SPDX-License-Identifier: GPL-3.0-or-later
#include "midi/ports/jack_output.h"

#include <jack/midiport.h>
#include <jack/ringbuffer.h>

#include <algorithm>
#include <bitset>
#include <cerrno>
#include <new>
#include <string>

#include "midi/ports/note_ledger.h"
#include "midi/servers/clock.h"

namespace midi {

namespace {

constexpr std::size_t kQueueBytes = 16384;  // a power of two: 1,023 messages
constexpr int kSettleCycles = 4;  // cycles let pass before the first message of a connection
// A gap between two cycles of more than kStallPeriods periods, and of kStallNs at the least, is a
// stall (the server was stopped); a JACK server at 4,096 frames runs one cycle every 85 ms.
constexpr std::int64_t kStallNs = 50'000'000;
constexpr std::int64_t kStallPeriods = 3;
// A Note On that waited longer than kStaleNs, and than kStalePeriods periods, is not played: it
// would sound late. At long periods the server takes a period or two for each request of a new
// connection (registering, connecting), and the connection then settles four more.
constexpr std::int64_t kStaleNs = 100'000'000;
constexpr std::int64_t kStalePeriods = 12;
constexpr std::int64_t kRetryGapNs = 50'000'000;  // between two connects that were refused
// How long after a connection a stall at the peer is still taken for our libjack's fault.
constexpr std::int64_t kDoubtNs = 5'000'000'000;

struct Queued {
  std::uint32_t message;
  std::int64_t queuedNs;
};

std::atomic<unsigned> g_portNumber{0};

}  // namespace

class JackPortOutput::Link final : public JackEndpoint {
 public:
  explicit Link(std::string target)
      : m_target(std::move(target)),
        m_name("midi_out_" + std::to_string(++g_portNumber)),
        m_queue(jack_ringbuffer_create(kQueueBytes)) {}
  ~Link() override {
    if (m_queue) jack_ringbuffer_free(m_queue);
  }
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  bool ready() const { return m_queue != nullptr; }
  OutputState state() const { return m_state.load(std::memory_order_acquire); }
  bool drained() const { return jack_ringbuffer_read_space(m_queue) == 0; }

  bool attachedPort() const { return m_port.load() != nullptr; }

  ResultCode send(std::uint32_t message) {
    if (shortMessageLength(message) == 0) return MMSYSERR_INVALPARAM;
    message &= 0x007F7FFF;               // data bytes are seven bits
    if (state() != OutputState::Lost) {  // connecting: it waits (100 ms at most for a Note On)
      std::lock_guard lock(m_sendMutex);
      if (jack_ringbuffer_write_space(m_queue) >= sizeof(Queued)) {
        const Queued q{message, nowNs()};
        jack_ringbuffer_write(m_queue, reinterpret_cast<const char*>(&q), sizeof q);
        return MMSYSERR_NOERROR;
      }
    }
    if (isNoteOff(message)) m_pendingOff.set(noteIndex(message));
    return MMSYSERR_ERROR;
  }

  bool attach(jack_client_t* client) override {
    jack_port_t* port =
        jack_port_register(client, m_name.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    m_rate.store(jack_get_sample_rate(client), std::memory_order_relaxed);
    m_port.store(port, std::memory_order_release);
    return port != nullptr;
  }

  void detach(jack_client_t* client, Detach why) override {
    jack_port_t* port = m_port.exchange(nullptr);
    if (why == Detach::Leaving) {
      if (port) jack_port_unregister(client, port);
      return;
    }
    // Renewed: the Note Offs written just after the last connection may have gone to a peer
    // our libjack never woke (see JackSession::starved); they go again with the next one.
    if (why == Detach::Renewal)
      m_offAfterConnect.takeEach([this](unsigned i) { m_sounding.set(i); });
    step(OutputEvent::ServerGone);
  }

  void disconnect(jack_client_t* client) override {
    if (jack_port_t* port = m_port.load()) jack_port_disconnect(client, port);
  }

  // A leaving output still sends what it has queued: the Note Offs of the keys held when it
  // closed. It owns everything that takes.
  void leave(jack_nframes_t frames, bool freewheel) override { process(frames, freewheel); }
  bool settled() const override {
    return state() != OutputState::Connected || (drained() && !m_pendingOff.any());
  }

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
    const OutputStep s =
        step(state() == OutputState::Connected ? OutputEvent::Refused : OutputEvent::PortThere);
    if (!s.connect) return false;
    if (nowNs() < m_nextTryNs) return true;  // every graph change would ask again at once
    // jackd refuses a port whose client is not active yet; a refusal is tried again.
    const int rc = jack_connect(client, jack_port_name(port), target);
    if ((rc == 0 || rc == EEXIST) && jack_port_connected_to(port, target)) {
      step(OutputEvent::Confirmed);
      return false;
    }
    step(OutputEvent::Refused);
    m_nextTryNs = nowNs() + kRetryGapNs;
    return true;
  }

  void process(jack_nframes_t frames, bool freewheel) override;

 private:
  OutputStep step(OutputEvent event) {
    const OutputStep s = nextOutputState(state(), event);
    if (s.switchOffFirst) {
      m_offAfterConnect.takeEach([](unsigned) {});
      m_connectedNs.store(nowNs(), std::memory_order_relaxed);
      m_settle.store(kSettleCycles, std::memory_order_relaxed);
      m_switchOff.store(true, std::memory_order_relaxed);
    }
    m_state.store(s.next, std::memory_order_release);
    return s;
  }
  bool write(void* buffer, std::uint32_t message);
  bool switchOff(void* buffer, unsigned index) { return write(buffer, noteOffFor(index)); }

  const std::string m_target;  // the peer's full "client:port" name
  const std::string m_name;    // our port's short name
  jack_ringbuffer_t* const m_queue;
  std::mutex m_sendMutex;  // one writer at a time; the process callback reads without it
  std::atomic<jack_port_t*> m_port{nullptr};
  std::atomic<OutputState> m_state{OutputState::Connecting};  // opened on a port that is there
  std::atomic<bool> m_switchOff{false};
  std::atomic<int> m_settle{0};
  std::int64_t m_lastCycleNs = 0;         // process thread
  std::atomic<jack_nframes_t> m_rate{0};  // the server's sample rate, as of the last attach
  std::int64_t m_nextTryNs = 0;  // session thread: when a refused connection is asked again
  NoteLedger m_sounding;         // on at the peer: written, not yet off
  NoteLedger m_pendingOff;       // Note Offs that could not be queued
  NoteLedger m_offAfterConnect;  // Note Offs written within kDoubtNs of the last connection
  std::atomic<std::int64_t> m_connectedNs{0};
  std::bitset<NoteLedger::kNotes> m_dropped;  // stale Note Ons not played: their Note Off neither
};

bool JackPortOutput::Link::write(void* buffer, std::uint32_t message) {
  const unsigned char bytes[3] = {static_cast<unsigned char>(message),
                                  static_cast<unsigned char>(message >> 8),
                                  static_cast<unsigned char>(message >> 16)};
  const auto length = static_cast<std::size_t>(shortMessageLength(message));
  if (jack_midi_event_write(buffer, 0, bytes, length) != 0) return false;  // the cycle is full
  if (isNoteOn(message)) {
    m_sounding.set(noteIndex(message));
  } else if (isNoteOff(message)) {
    m_sounding.clear(noteIndex(message));
    if (nowNs() - m_connectedNs.load(std::memory_order_relaxed) < kDoubtNs)
      m_offAfterConnect.set(noteIndex(message));
  }
  return true;
}

void JackPortOutput::Link::process(jack_nframes_t frames, bool freewheel) {
  jack_port_t* port = m_port.load(std::memory_order_acquire);
  if (!port) return;
  void* buffer = jack_port_get_buffer(port, frames);
  jack_midi_clear_buffer(buffer);
  // The queue waits for the connection, which the session's thread confirms (asking libjack
  // here would take its lock under PipeWire). The server confirms a connection, and activates a
  // peer, a few cycles before the peer reads what comes through it: those cycles settle.
  if (state() != OutputState::Connected) return;
  // Likewise after a stall (the server was stopped): the first cycles after it may not reach
  // the peer. Nor do the cycles a server runs back to back to catch up after one (PipeWire runs
  // several within a millisecond): the peer does not read each of them. Both are told from the
  // server's period, as it is now; in freewheel every cycle comes at once, and each is read.
  const std::int64_t now = nowNs();
  const std::int64_t gap = now - m_lastCycleNs;
  const jack_nframes_t rate = m_rate.load(std::memory_order_relaxed);
  const std::int64_t periodNs = rate > 0 ? std::int64_t{frames} * 1'000'000'000 / rate : 0;
  const bool stalled = gap > std::max(kStallNs, kStallPeriods * periodNs);
  if (!freewheel && (stalled || gap < periodNs / 4))
    m_settle.store(kSettleCycles, std::memory_order_relaxed);
  m_lastCycleNs = now;
  const std::int64_t staleNs = std::max(kStaleNs, kStalePeriods * periodNs);
  if (m_settle.load(std::memory_order_relaxed) > 0) {
    m_settle.fetch_sub(1, std::memory_order_relaxed);
    return;
  }

  if (m_switchOff.exchange(false, std::memory_order_relaxed)) {
    bool full = false;
    m_sounding.takeEach([&](unsigned i) {
      if (full || !switchOff(buffer, i)) {
        full = true;
        m_sounding.set(i);  // next cycle
      }
    });
    if (full) {
      m_switchOff.store(true, std::memory_order_relaxed);
      return;
    }
  }

  Queued q{};
  while (jack_ringbuffer_peek(m_queue, reinterpret_cast<char*>(&q), sizeof q) == sizeof q) {
    const unsigned index = noteIndex(q.message);
    if (isNoteOn(q.message) && now - q.queuedNs > staleNs) {
      m_dropped.set(index);
    } else if (isNoteOff(q.message) && m_dropped.test(index) && !m_sounding.test(index)) {
      m_dropped.reset(index);  // the peer never had its Note On
    } else {
      if (isNoteOff(q.message)) m_dropped.reset(index);  // an earlier Note On of it is still on
      // A Note Off that could not be queued belongs before a new Note On of its note.
      if (isNoteOn(q.message) && m_pendingOff.test(index) && m_sounding.test(index)) {
        if (!switchOff(buffer, index)) return;
        m_pendingOff.clear(index);
      }
      if (!write(buffer, q.message)) return;  // the rest goes next cycle, in order
    }
    jack_ringbuffer_read_advance(m_queue, sizeof q);
  }
  // The queue is empty: remembered Note Offs of notes still on go now.
  if (!m_pendingOff.any()) return;
  m_pendingOff.takeEach([&](unsigned i) {
    if (m_sounding.test(i) && !switchOff(buffer, i)) m_pendingOff.set(i);
  });
}

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
  out.reset();  // leaves the session
  return answered ? rc->load() : MMSYSERR_ERROR;
}

JackPortOutput::~JackPortOutput() { m_session->remove(m_link); }

ResultCode JackPortOutput::send(std::uint32_t message) { return m_link->send(message); }

OutputState JackPortOutput::state() const { return m_link->state(); }

}  // namespace midi
