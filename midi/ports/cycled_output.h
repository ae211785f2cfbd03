// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What a port output that a server runs in cycles (JACK) does without the server: the queue
// between the sending thread and the cycles, the output's life (output_life.h), which notes are
// on at the peer, and the rules of each cycle. The JACK port around it registers, connects and
// hands it each cycle's buffer; a unit test hands it a clock and a buffer of its own.
//
// Threads: send() from any thread; step(), renew() and settled() on the session's thread;
// process() on the server's process thread (no lock, no allocation, no system call).
//
// The promise: every Note On that reached the peer gets its Note Off, no Note On goes twice or
// late, and no Note Off goes without its Note On. The rules it keeps are jack_cycles.h's:
// - A Note On that waited in the queue past cycle_rules::staleAfter is dropped, and its Note Off
//   with it.
// - A Note Off that could not be queued is remembered and sent as soon as it can.
// - Nothing is written in a cycle that the peer may not read (cycle_rules::cyclesToLetPass): a
//   late cycle, the cycles after a stall or behind a cycle run back to back, and the first few
//   after a connection. The messages wait for the next cycle that comes on time.
// - The Note Offs of a cycle whose reading the output cannot vouch for after the fact (one
//   followed by a cycle back to back; those within cycle_rules::doubtWindow before an xrun the
//   server told of, before a renewal, or before the session saw the link cut) go again: a second
//   Note Off is harmless; a second Note On never goes. A note struck again while its last Note
//   Off may still be doubted gets that Note Off again first: had the peer missed it, the note
//   would still be on there.

#include <jack/ringbuffer.h>

#include <array>
#include <atomic>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <mutex>

#include "midi/midi_service.h"
#include "midi/ports/note_ledger.h"
#include "midi/ports/output_life.h"
#include "midi/servers/jack_cycles.h"

namespace midi {

class CycledOutput {
 public:
  using Clock = std::int64_t (*)();  // nanoseconds of the monotonic clock

  // Where one cycle's messages go. write returns false when the cycle's buffer is full.
  struct Buffer {
    void* user = nullptr;
    bool (*write)(void* user, const unsigned char* bytes, std::size_t length) = nullptr;
  };

  explicit CycledOutput(Clock clock);
  ~CycledOutput();
  CycledOutput(const CycledOutput&) = delete;
  CycledOutput& operator=(const CycledOutput&) = delete;

  bool ready() const { return m_queue != nullptr; }  // false: no memory for the queue
  OutputState state() const { return m_state.load(std::memory_order_acquire); }

  // Never waits. MMSYSERR_ERROR while Lost or with the queue full; MMSYSERR_INVALPARAM for what
  // is not a channel voice message. A Note Off whose Note On this output never took (refused, or
  // never sent) is an orphan: it is taken and goes nowhere.
  ResultCode send(std::uint32_t message);

  // One observation of the server's or the peer's (session thread).
  OutputStep step(OutputEvent event);
  // The session renews its client: the Note Offs written just after the last connection may have
  // gone to a peer our libjack never woke, and those within the doubt window to a peer that reads
  // late; they go again with the next connection, to that peer only (a peer gone by then, or
  // that goes before it, is owed nothing of them). The peer's port is still there: what is sent
  // meanwhile waits for that connection, as after a cut link. Only while no cycle runs.
  void renew();
  // Nothing more to send: nothing that can still go is owed. Lost: nowhere to send it.
  // Connecting: the peer has nothing on that we owe a Note Off for, no Note Off is owed again (a
  // renewal's doubt), and no Note On waits that is still fresh enough to play. Connected: the queue
  // is empty, and every debt (a switch-off, a Note Off to go again or remembered, a Note Off whose
  // cycle may still be doubted) was paid by the end of a cycle.
  bool settled() const;

  // The output goes with what is still queued (a close that gave up on a connection, or on a
  // server that stopped): those Note Ons never went, and count as dropped. Only while no cycle
  // runs.
  void abandon();

  // Note Ons dropped as stale since the output opened.
  std::uint64_t staleDropped() const { return m_staleDropped.load(std::memory_order_relaxed); }

  // One cycle of the server's, as the session judged it (CycleClock); nowNs on clock.
  void process(const JackCycle& cycle, std::int64_t nowNs, const Buffer& out);

 private:
  // Entering Connected: the held notes' Note Offs go first, after the cycles a new connection
  // lets pass.
  void armConnection();
  // At least n cycles are let pass from the next on. Raised by the session's thread and the
  // process thread both, so never lowered by either.
  void letPass(int n);
  // Something is owed from now on (settled()); the process thread pays it off at a cycle's end.
  void owe() { m_debts.fetch_add(1, std::memory_order_acq_rel); }
  // Every Note Off written, a resend too, is remembered for as long as its cycle may be doubted.
  bool write(const Buffer& out, std::uint32_t message);
  bool switchOff(const Buffer& out, unsigned index) { return write(out, noteOffFor(index)); }
  // The Note Offs written at or after sinceNs go again, for the notes still off.
  void doubt(std::int64_t sinceNs);
  // Since when a Note Off written may still be doubted (cycle_rules::doubtWindow, kDoubtCycles).
  std::int64_t doubtSince(std::int64_t nowNs) const;
  // Whether the note's Note Off was written in an earlier cycle that may still be doubted.
  bool offInDoubt(unsigned index) const;
  void writeCycle(const Buffer& out, std::int64_t staleNs);
  bool writeSwitchOffs(const Buffer& out);
  bool writeQueue(const Buffer& out, std::int64_t staleNs);
  bool owesAtCycleEnd(std::int64_t nowNs) const;

  const Clock m_clock;
  jack_ringbuffer_t* const m_queue;
  std::mutex m_sendMutex;  // one writer at a time; the process thread reads without it
  std::array<std::uint8_t, NoteLedger::kNotes> m_taken{};     // send side: Note Ons not yet off
  std::atomic<OutputState> m_state{OutputState::Connecting};  // opened on a port that is there
  std::atomic<bool> m_switchOff{false};
  std::atomic<int> m_letPass{0};
  NoteLedger m_sounding;         // on at the peer: written, not yet off
  NoteLedger m_pendingOff;       // Note Offs that could not be queued
  NoteLedger m_resend;           // Note Offs to go again (see doubt)
  NoteLedger m_offAfterConnect;  // Note Offs written within kAfterConnectNs of the connection
  std::atomic<std::int64_t> m_connectedNs{0};
  // The link was cut: the Note Offs written since then go again (0: none owed).
  std::atomic<std::int64_t> m_cutSince{0};

  std::atomic<std::int64_t> m_periodNs{0};        // the last cycle's
  std::atomic<std::int64_t> m_lastOnQueuedNs{0};  // when the newest Note On was queued
  // Debts made (owe) and those known paid at a cycle's end: settled only while they are equal.
  std::atomic<std::uint64_t> m_debts{0};
  std::atomic<std::uint64_t> m_paid{0};
  std::atomic<std::uint64_t> m_staleDropped{0};

  // Process thread only.
  std::int64_t m_cycleNs = 0;  // the cycle being written, or the last one
  std::int64_t m_lastOffNs = std::numeric_limits<std::int64_t>::min();  // its cycle
  std::uint64_t m_xrunsHeard = 0;
  // Notes ended before their Note Off came: their Note On was dropped as stale, or they were
  // switched off after a connection. That Note Off goes nowhere.
  std::bitset<NoteLedger::kNotes> m_endedEarly;
  struct Written {
    std::uint16_t index;
    std::int64_t ns;
  };
  std::array<Written, 128> m_recentOffs{};  // the last Note Offs written, a ring
  std::array<std::int64_t, cycle_rules::kDoubtCycles> m_pastCycles{};  // before m_cycleNs, a ring
  std::size_t m_nextPast = 0;                                          // its oldest
  std::size_t m_nextOff = 0;
};

}  // namespace midi
