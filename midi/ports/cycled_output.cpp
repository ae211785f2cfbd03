// SPDX-License-Identifier: GPL-3.0-or-later
#include "midi/ports/cycled_output.h"

#include <algorithm>

namespace midi {

namespace {

constexpr std::size_t kQueueBytes = 16384;  // a power of two: 1,023 messages
// Cycles let pass, unwritten, before the first message of a connection (the peer may not read
// them yet), and after a stall or a cycle back to back.
constexpr int kCyclesLetPass = 4;
// A gap between two cycles of more than kStallPeriods periods, and of kStallNs at the least, is a
// stall (the server was stopped); a JACK server at 4,096 frames runs one cycle every 85 ms. After
// a stall the server may still be sorting its clients out: cycles are let pass as after a
// connection. A late cycle that is no stall is a hiccup: only that cycle is let pass, since the
// server may run the cycles it missed right behind it.
constexpr std::int64_t kStallNs = 50'000'000;
constexpr std::int64_t kStallPeriods = 3;
// A Note On that waited longer than kStaleNs, and than kStalePeriods periods, is not played: it
// would sound late. At long periods the server takes a period or two for each request of a new
// connection (registering, connecting), and the connection then lets four more pass.
constexpr std::int64_t kStaleNs = 100'000'000;
constexpr std::int64_t kStalePeriods = 12;
// An xrun is told on another thread, a few cycles after the cycle it hit at short periods, within
// the next at long ones: the Note Offs written within kDoubtNs, and a period and a half, before
// it is heard go again. Once that has passed since the last Note Off, and the cycle after it was
// not back to back, nothing can doubt it any more: the output has settled.
constexpr std::int64_t kDoubtNs = 100'000'000;
// How long after a connection a stall at the peer is still taken for our libjack's fault.
constexpr std::int64_t kAfterConnectNs = 5'000'000'000;

struct Queued {
  std::uint32_t message;
  std::int64_t queuedNs;
};

}  // namespace

CycledOutput::CycledOutput(Clock clock)
    : m_clock(clock), m_queue(jack_ringbuffer_create(kQueueBytes)) {}

CycledOutput::~CycledOutput() {
  if (m_queue) jack_ringbuffer_free(m_queue);
}

ResultCode CycledOutput::send(std::uint32_t message) {
  if (shortMessageLength(message) == 0) return MMSYSERR_INVALPARAM;
  message &= 0x007F7FFF;  // data bytes are seven bits
  const unsigned index = noteIndex(message);
  // Counted by status: a Note On of velocity 0 that a key struck at the bottom of the velocity
  // bar is a strike too, and the Note Off of its release goes as well.
  const std::uint32_t kind = message & 0xF0;
  std::lock_guard lock(m_sendMutex);
  if (kind == 0x80) {
    if (m_taken[index] == 0) return MMSYSERR_NOERROR;  // an orphan: nothing is owed
    --m_taken[index];
  }
  if (state() != OutputState::Lost) {  // connecting: it waits (100 ms at most for a Note On)
    if (jack_ringbuffer_write_space(m_queue) >= sizeof(Queued)) {
      const Queued q{message, m_clock()};
      jack_ringbuffer_write(m_queue, reinterpret_cast<const char*>(&q), sizeof q);
      if (kind == 0x90 && m_taken[index] < 255) ++m_taken[index];
      return MMSYSERR_NOERROR;
    }
  }
  if (isNoteOff(message)) m_pendingOff.set(index);
  return MMSYSERR_ERROR;
}

OutputStep CycledOutput::step(OutputEvent event) {
  const OutputStep s = nextOutputState(state(), event);
  if (s.switchOffFirst) {
    m_offAfterConnect.takeEach([](unsigned) {});
    m_connectedNs.store(m_clock(), std::memory_order_relaxed);
    m_letPass.store(kCyclesLetPass, std::memory_order_relaxed);
    m_switchOff.store(true, std::memory_order_relaxed);
  }
  m_state.store(s.next, std::memory_order_release);
  return s;
}

void CycledOutput::renew() {
  // So do those of the last cycles: a late peer reads them after our port has gone, and the
  // xrun that would have sent them again comes too late for this client. Once each.
  doubt(m_cycleNs - kDoubtNs);
  m_offAfterConnect.takeEach([this](unsigned i) {
    m_sounding.set(i);
    m_resend.clear(i);
  });
  step(OutputEvent::Refused);  // our port goes with the old client: the link is to be made again
}

bool CycledOutput::settled() const {
  switch (state()) {
    case OutputState::Lost: return true;                     // nowhere to send it
    case OutputState::Connecting: return !m_sounding.any();  // what the peer has on is owed
    case OutputState::Connected:
      return jack_ringbuffer_read_space(m_queue) == 0 && !m_switchOff.load() &&
             !m_pendingOff.any() && !m_resend.any() &&
             !m_offsInDoubt.load(std::memory_order_acquire);
  }
  return true;
}

bool CycledOutput::write(const Buffer& out, std::uint32_t message) {
  const unsigned char bytes[3] = {static_cast<unsigned char>(message),
                                  static_cast<unsigned char>(message >> 8),
                                  static_cast<unsigned char>(message >> 16)};
  const auto length = static_cast<std::size_t>(shortMessageLength(message));
  if (!out.write(out.user, bytes, length)) return false;  // the cycle is full
  const unsigned index = noteIndex(message);
  if (isNoteOn(message)) {
    m_sounding.set(index);
  } else if (isNoteOff(message)) {
    m_sounding.clear(index);
    m_lastOffNs = m_cycleNs;
    m_offsInDoubt.store(true, std::memory_order_release);
    m_recentOffs[m_nextOff] = {static_cast<std::uint16_t>(index), m_cycleNs};
    m_nextOff = (m_nextOff + 1) % m_recentOffs.size();
    if (m_cycleNs - m_connectedNs.load(std::memory_order_relaxed) < kAfterConnectNs)
      m_offAfterConnect.set(index);
  }
  return true;
}

void CycledOutput::doubt(std::int64_t sinceNs) {
  for (const Written& w : m_recentOffs)
    if (w.ns != 0 && w.ns >= sinceNs) m_resend.set(w.index);
}

void CycledOutput::process(const JackCycle& cycle, std::int64_t nowNs, const Buffer& out) {
  // The queue waits for the connection, which the session's thread confirms. The server confirms
  // a connection, and activates a peer, a few cycles before the peer reads what comes through
  // it: those cycles are let pass (step).
  if (state() != OutputState::Connected) return;
  const std::int64_t now = nowNs;
  const std::int64_t periodNs = cycle.periodNs;
  const std::int64_t doubtNs = std::max(kDoubtNs, periodNs + periodNs / 2);
  const bool xrun = cycle.xrunsHeard != m_xrunsHeard;
  m_xrunsHeard = cycle.xrunsHeard;
  // In freewheel every cycle comes at once, and each is read.
  if (!cycle.freewheel && periodNs > 0) {
    const bool stalled = cycle.gapNs > std::max(kStallNs, kStallPeriods * periodNs);
    // A cycle right behind the last: the peer may not read the last one's buffer (PipeWire runs
    // several within a millisecond, jackd its missed cycles after a hiccup).
    if (cycle.backToBack) doubt(m_cycleNs);
    if (stalled || cycle.backToBack)
      m_letPass.store(kCyclesLetPass, std::memory_order_relaxed);
    else if (cycle.late && m_letPass.load(std::memory_order_relaxed) == 0)
      m_letPass.store(1, std::memory_order_relaxed);
  }
  if (xrun) doubt(now - doubtNs);
  m_cycleNs = now;
  writeCycle(out, std::max(kStaleNs, kStalePeriods * periodNs));
  // No doubt can reach the last Note Off any more, from this cycle or any later one.
  m_offsInDoubt.store(m_lastOffNs >= now - doubtNs, std::memory_order_release);
}

void CycledOutput::writeCycle(const Buffer& out, std::int64_t staleNs) {
  if (m_letPass.load(std::memory_order_relaxed) > 0) {
    m_letPass.fetch_sub(1, std::memory_order_relaxed);
    return;
  }
  if (!writeSwitchOffs(out)) return;
  bool full = false;
  m_resend.takeEach([&](unsigned i) {
    if (m_sounding.test(i)) return;  // struck again since: its own Note Off ends it
    if (full || !switchOff(out, i)) {
      full = true;
      m_resend.set(i);  // next cycle
    }
  });
  if (full || !writeQueue(out, staleNs)) return;
  // The queue is empty: remembered Note Offs of notes still on go now.
  if (!m_pendingOff.any()) return;
  m_pendingOff.takeEach([&](unsigned i) {
    if (m_sounding.test(i) && !switchOff(out, i)) m_pendingOff.set(i);
  });
}

// After a connection, the Note Offs of every note on at the peer go first. Those notes are over:
// a Note Off of theirs still queued, or remembered, goes no more.
bool CycledOutput::writeSwitchOffs(const Buffer& out) {
  if (!m_switchOff.exchange(false, std::memory_order_relaxed)) return true;
  bool full = false;
  m_sounding.takeEach([&](unsigned i) {
    if (full || !switchOff(out, i)) {
      full = true;
      m_sounding.set(i);  // next cycle
      return;
    }
    m_pendingOff.clear(i);
    m_endedEarly.set(i);
  });
  if (full) m_switchOff.store(true, std::memory_order_relaxed);
  return !full;
}

// False when the cycle filled up before the queue emptied: the rest goes next cycle, in order.
bool CycledOutput::writeQueue(const Buffer& out, std::int64_t staleNs) {
  Queued q{};
  while (jack_ringbuffer_peek(m_queue, reinterpret_cast<char*>(&q), sizeof q) == sizeof q) {
    const unsigned index = noteIndex(q.message);
    if (isNoteOn(q.message) && m_cycleNs - q.queuedNs > staleNs) {
      m_endedEarly.set(index);
    } else if (isNoteOff(q.message) && m_endedEarly.test(index) && !m_sounding.test(index)) {
      m_endedEarly.reset(index);  // the peer never had its Note On, or it is switched off
    } else {
      // A new note, or the Note Off of an earlier one still on. Any other message only shares
      // the index's bits: it tells nothing of that note.
      if (isNoteOn(q.message) || isNoteOff(q.message)) m_endedEarly.reset(index);
      // A Note Off that could not be queued belongs before a new Note On of its note.
      if (isNoteOn(q.message) && m_pendingOff.test(index) && m_sounding.test(index)) {
        if (!switchOff(out, index)) return false;
        m_pendingOff.clear(index);
      }
      if (!write(out, q.message)) return false;
    }
    jack_ringbuffer_read_advance(m_queue, sizeof q);
  }
  return true;
}

}  // namespace midi
