// SPDX-License-Identifier: GPL-3.0-or-later
#include "midi/ports/cycled_output.h"

#include <algorithm>

namespace midi {

namespace {

constexpr std::size_t kQueueBytes = 16384;  // a power of two: 1,023 messages
using namespace cycle_rules;

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
      if (isNoteOn(message)) m_lastOnQueuedNs.store(q.queuedNs, std::memory_order_relaxed);
      return MMSYSERR_NOERROR;
    }
  }
  if (isNoteOff(message)) {
    m_pendingOff.set(index);
    owe();
  }
  return MMSYSERR_ERROR;
}

OutputStep CycledOutput::step(OutputEvent event) {
  const OutputStep s = nextOutputState(state(), event);
  // The peer has gone: the Note Offs it may have missed were its own, and a peer that comes
  // under its name never had those notes. Its held notes are still switched off there.
  if (s.next == OutputState::Lost) {
    m_resend.takeEach([](unsigned) {});
    m_offAfterConnect.takeEach([](unsigned) {});
    m_cutSince.store(0, std::memory_order_relaxed);
  }
  // The link was cut under us (a patchbay): the cycles between the cut and this look wrote to no
  // one. The Note Offs of the doubt window go again once the link is back.
  if (state() == OutputState::Connected && event == OutputEvent::Refused) {
    const std::int64_t window = doubtWindow(m_periodNs.load(std::memory_order_relaxed));
    m_cutSince.store(
        std::max(m_connectedNs.load(std::memory_order_relaxed) + 1, m_clock() - window),
        std::memory_order_relaxed);
  }
  if (s.switchOffFirst) armConnection();
  m_state.store(s.next, std::memory_order_release);
  return s;
}

void CycledOutput::armConnection() {
  m_offAfterConnect.takeEach([](unsigned) {});
  m_connectedNs.store(m_clock(), std::memory_order_relaxed);
  letPass(kCyclesLetPass);
  m_switchOff.store(true, std::memory_order_relaxed);
  owe();
}

void CycledOutput::letPass(int n) {
  int now = m_letPass.load(std::memory_order_relaxed);
  while (now < n && !m_letPass.compare_exchange_weak(now, n, std::memory_order_relaxed)) {
  }
}

void CycledOutput::renew() {
  // So do those of the last cycles: a late peer reads them after our port has gone, and the
  // xrun that would have sent them again comes too late for this client. Once each, and only to
  // the peer they went to: while it is gone nothing is owed.
  if (state() != OutputState::Lost) {
    doubt(doubtSince(m_cycleNs));
    m_offAfterConnect.takeEach([this](unsigned i) { m_resend.set(i); });
  }
  step(OutputEvent::Refused);  // our port goes with the old client: the link is to be made again
}

void CycledOutput::abandon() {
  Queued q{};
  while (jack_ringbuffer_read(m_queue, reinterpret_cast<char*>(&q), sizeof q) == sizeof q)
    if (isNoteOn(q.message)) m_staleDropped.fetch_add(1, std::memory_order_relaxed);
}

bool CycledOutput::settled() const {
  switch (state()) {
    case OutputState::Lost: return true;
    case OutputState::Connecting: {
      // Held notes are switched off, and Note Offs a renewal doubted go again, once connected.
      if (m_sounding.any() || m_resend.any()) return false;
      const std::int64_t waited = m_clock() - m_lastOnQueuedNs.load(std::memory_order_relaxed);
      return jack_ringbuffer_read_space(m_queue) == 0 ||
             stale(waited, m_periodNs.load(std::memory_order_relaxed));
    }
    case OutputState::Connected:
      return jack_ringbuffer_read_space(m_queue) == 0 &&
             m_paid.load(std::memory_order_acquire) == m_debts.load(std::memory_order_acquire);
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
    owe();  // until no doubt can reach it
    m_recentOffs[m_nextOff] = {static_cast<std::uint16_t>(index), m_cycleNs};
    m_nextOff = (m_nextOff + 1) % m_recentOffs.size();
    if (m_cycleNs - m_connectedNs.load(std::memory_order_relaxed) < kAfterConnectNs)
      m_offAfterConnect.set(index);
  }
  return true;
}

// The doubt window back from nowNs, or the last kDoubtCycles cycles where the server stretched
// them (a stop between them): an xrun is told within a few cycles, however long they took. Never
// past the connection: the peer before it is gone, or had what it owes switched off.
std::int64_t CycledOutput::doubtSince(std::int64_t nowNs) const {
  const std::int64_t window = doubtWindow(m_periodNs.load(std::memory_order_relaxed));
  return std::max(m_connectedNs.load(std::memory_order_relaxed) + 1,
                  std::min(nowNs - window, m_pastCycles[m_nextPast]));
}

bool CycledOutput::offInDoubt(unsigned index) const {
  const std::int64_t since = doubtSince(m_cycleNs);
  for (const Written& w : m_recentOffs)
    if (w.index == index && w.ns != 0 && w.ns >= since && w.ns < m_cycleNs) return true;
  return false;
}

void CycledOutput::doubt(std::int64_t sinceNs) {
  for (const Written& w : m_recentOffs)
    if (w.ns != 0 && w.ns >= sinceNs) m_resend.set(w.index);
  owe();
}

void CycledOutput::process(const JackCycle& cycle, std::int64_t nowNs, const Buffer& out) {
  // The queue waits for the connection, which the session's thread confirms. The server confirms
  // a connection, and activates a peer, a few cycles before the peer reads what comes through
  // it: those cycles are let pass (armConnection).
  const std::int64_t periodNs = cycle.periodNs;
  if (periodNs > 0) m_periodNs.store(periodNs, std::memory_order_relaxed);  // for settled() too
  if (state() != OutputState::Connected) return;
  const bool xrun = cycle.xrunsHeard != m_xrunsHeard;
  m_xrunsHeard = cycle.xrunsHeard;
  // The last cycle's buffer may not have been read before this one overwrote it.
  if (cycle.backToBack && !cycle.freewheel) doubt(m_cycleNs);
  letPass(cyclesToLetPass(cycle));
  if (xrun) doubt(doubtSince(nowNs));
  if (const std::int64_t since = m_cutSince.exchange(0, std::memory_order_relaxed); since != 0)
    doubt(since);
  m_pastCycles[m_nextPast] = m_cycleNs;
  m_nextPast = (m_nextPast + 1) % m_pastCycles.size();
  m_cycleNs = nowNs;
  // Read before the debts are weighed: a debt made after it is paid at a later cycle's end.
  const std::uint64_t debts = m_debts.load(std::memory_order_acquire);
  writeCycle(out, staleAfter(periodNs));
  if (!owesAtCycleEnd(nowNs)) m_paid.store(debts, std::memory_order_release);
}

// Whether anything is still owed once this cycle's messages are written: a switch-off, a Note Off
// to go again or remembered, or the last Note Off's cycle still within reach of a doubt, from
// this cycle or any later one.
bool CycledOutput::owesAtCycleEnd(std::int64_t nowNs) const {
  return m_switchOff.load(std::memory_order_relaxed) || m_resend.any() || m_pendingOff.any() ||
         m_lastOffNs >= doubtSince(nowNs);
}

void CycledOutput::writeCycle(const Buffer& out, std::int64_t staleNs) {
  int passing = m_letPass.load(std::memory_order_relaxed);
  while (passing > 0)
    if (m_letPass.compare_exchange_weak(passing, passing - 1, std::memory_order_relaxed)) return;
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
      m_staleDropped.fetch_add(1, std::memory_order_relaxed);
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
      // So does one written in an earlier cycle that may yet be doubted: had the peer missed it,
      // the note would still be on there, and the new Note On would find it on.
      if (isNoteOn(q.message) && !m_sounding.test(index) && offInDoubt(index) &&
          !switchOff(out, index))
        return false;
      if (!write(out, q.message)) return false;
    }
    jack_ringbuffer_read_advance(m_queue, sizeof q);
  }
  return true;
}

}  // namespace midi
