// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// How each cycle of a JACK server stands, and the rules by which our outputs trust a cycle with
// their messages: each rule one pure function of what the cycle and the clocks say, in one place.
// CycleClock gathers those figures in the process callback; an output (cycled_output.h) applies
// the rules; the session (jack_session.h) renews a client that the server no longer runs.

#include <jack/types.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace midi {

// What the process callback knows of one cycle.
struct JackCycle {
  jack_nframes_t frames = 0;
  // The server runs its cycles back to back as fast as it can (an application exports), so the
  // time between two cycles says nothing.
  bool freewheel = false;
  // The xruns the server has told of since the session began, any client's: a cycle near one
  // may not have been read by its peers.
  std::uint64_t xrunsHeard = 0;
  // How the cycle stands to the last one (CycleClock). periodNs is 0 where it is not judged
  // (the client's first cycle, or the server did not tell); gapNs is the time since our last
  // callback began, how long the server was away.
  std::int64_t periodNs = 0;
  std::int64_t gapNs = 0;
  bool late = false;        // the server missed cycles before this one (cycle_rules::late)
  bool backToBack = false;  // run right behind the last (cycle_rules::backToBack)
};

namespace cycle_rules {

using Ns = std::int64_t;

// Late: the server skipped frames before this cycle, or our callback began more than a period
// and a half after the last one, or two and a half after the one before (the last woke late and
// the server stopped right after it). Our own wake-ups are the measure: jackd2's stamps smooth a
// stop of a period or two away, and after a stop of seconds run apart from the steady clock for
// seconds (their gaps a third short of the period for a while), so no stamp of the server's is
// set against our clock.
constexpr bool late(bool framesSkipped, Ns ourGap, Ns ourGapOfTwo, Ns period) {
  return framesSkipped || ourGap > period + period / 2 || ourGapOfTwo > 2 * period + period / 2;
}

// The frames of the server's beat, by which late() judges a cycle: the period, unless the server
// skipped as many frames before this cycle as before the last. Then it runs us on a beat of its
// own (jackd 1.9.22 can run a client every other cycle for seconds after a restart), and no
// catch-up follows; judged by the period, every one of those cycles would be late and let pass,
// and nothing would be written until the stale limit dropped it. A first skip is a hiccup.
constexpr jack_nframes_t beat(jack_nframes_t step, jack_nframes_t lastStep, jack_nframes_t period) {
  return step > period && step == lastStep ? step : period;
}

// Our callbacks keep the server's rhythm when one begins between a quarter and a period and a
// half after the last; how far they lag it otherwise adds up, and is forgotten once in step.
constexpr Ns behindAfter(Ns behind, Ns ourGap, Ns period) {
  const bool inStep = ourGap >= period / 4 && ourGap <= period + period / 2;
  return inStep ? 0 : std::max<Ns>(0, behind + ourGap - period);
}

// Back to back: the cycle began before our last callback ended (we overran: the server may wake
// the peer once for each of our two cycles, and the peer reads one buffer twice, or a half-written
// one), or within a quarter period of the last by the server's clock (jackd2 runs its missed
// cycles so, and sets its clock back after a hiccup), or our callback runs within a quarter period
// of the last while a whole period behind the server's rhythm (PipeWire's libjack stamps the cycles
// it runs to catch up after a hang with their due times). Either way the peer may not read the
// last cycle's buffer before this one overwrites it.
// A callback of ours that begins within this of the last one's end woke without sleeping: the
// server had begun its cycle before the last ended.
constexpr Ns kWokeAtOnceNs = 30'000;
constexpr bool backToBack(bool beganBeforeOurEnd, Ns serverGap, Ns ourGap, Ns behind, Ns period) {
  return beganBeforeOurEnd || serverGap < period / 4 || (ourGap < period / 4 && behind >= period);
}

// A stall: a gap between two of our cycles of more than kStallPeriods periods, and of floor at
// the least. An output takes kOutputStallNs (a server at 4,096 frames runs a cycle every 85 ms);
// the session takes the shorter kServerStoppedNs as the server's own stop when it counts our
// cycles against the server's.
constexpr Ns kStallPeriods = 3;
constexpr Ns kOutputStallNs = 50'000'000;
constexpr Ns kServerStoppedNs = 10'000'000;
constexpr bool stall(Ns gap, Ns period, Ns floor) {
  return gap > std::max(floor, kStallPeriods * period);
}

// How many cycles an output lets pass unwritten, from this one on: after a stall or behind a
// cycle back to back, kCyclesLetPass, since the server may still be sorting its clients out; a
// late cycle that is no stall (a hiccup), that one alone, since the server may run the cycles it
// missed right behind it. The same count follows a new connection, whose peer may not read the
// first cycles yet. In freewheel every cycle comes at once, and each is read.
constexpr int kCyclesLetPass = 4;
constexpr int cyclesToLetPass(const JackCycle& cycle) {
  if (cycle.freewheel || cycle.periodNs <= 0) return 0;
  if (cycle.backToBack || stall(cycle.gapNs, cycle.periodNs, kOutputStallNs)) return kCyclesLetPass;
  return cycle.late ? 1 : 0;
}

// How long a written Note Off stays in doubt: an xrun is told on another thread, a few cycles
// after the cycle it hit at short periods, within the next two at long ones, where our callback
// that hears of it may itself wake most of a period late; a renewed client's late peer reads the
// last cycles after our port has gone. The Note Offs written within this window before either go
// again; once it has passed since the last Note Off, nothing can doubt it.
constexpr Ns kDoubtNs = 100'000'000;
constexpr Ns kDoubtPeriods = 3;
constexpr std::size_t kDoubtCycles = 3;  // and as many cycles, however long they took
constexpr Ns doubtWindow(Ns period) { return std::max(kDoubtNs, kDoubtPeriods * period); }

// A Note On that waited longer than this is not played: it would sound late. At long periods the
// server takes a period or two for each request of a new connection (registering, connecting),
// and the connection then lets kCyclesLetPass more pass.
constexpr Ns kStaleNs = 100'000'000;
constexpr Ns kStalePeriods = 12;
constexpr Ns staleAfter(Ns period) { return std::max(kStaleNs, kStalePeriods * period); }
constexpr bool stale(Ns waited, Ns period) { return waited > staleAfter(period); }

// How long a closing output may take to send what it owes, counted while cycles run: the cycles
// a connection lets pass, a stall's, and the doubt window of its last Note Off, at long periods
// too (four seconds at 8,192 frames and 44.1 kHz).
constexpr Ns kSettleNs = 1'000'000'000;
constexpr Ns kSettlePeriods = 20;
constexpr Ns settleTime(Ns period) { return std::max(kSettleNs, kSettlePeriods * period); }

// How long after a connection a Note Off may have gone to a peer that our libjack never woke: a
// renewal sends those again.
constexpr Ns kAfterConnectNs = 5'000'000'000;

// Our client starves when the server runs its cycles without us: libjack 1.9.21 can lose the
// wake-up of a client that came as another went, and we are never run. Counted over a window of
// the server's own cycles (its frame counter, which a stop of the server halts as it halts ours)
// against our callbacks: fewer than one in four, over kStarvedWindowCycles at the least, is
// starvation. A slow peer or a busy machine makes xruns, but the server still runs us; a graph
// that changes (a client comes or goes) skips some of our cycles at 16 frames. jackd 1.9.22 after
// a restart runs us in fewer cycles than its own and in more (133-275 callbacks a second against
// its 187): too close to those to tell from the counts alone, so that one is left to wakeUpLost,
// which waits for its xruns over two seconds.
constexpr std::uint64_t kStarvedWindowCycles = 4;
constexpr bool starved(std::uint64_t serverCycles, std::uint64_t ourCycles) {
  return serverCycles >= kStarvedWindowCycles && ourCycles * 4 < serverCycles;
}

// A peer that our libjack never wakes (jackd gives a closing client's number to the next one a
// cycle before it tells the others, and libjack keeps the old client's wake-up for it): jackd
// then reports an xrun in most cycles at any period (a peer stuck in its callback: 113 in 187 at
// 256 frames, 3,727 in 5,851 at 16 frames and 96 kHz; never woken: 2,755 in 5,990), while a slow
// peer, a busy machine or a graph not at real-time priority make a few (at most 19 in 346 at 256
// frames; 69 in 5,964 at 16 frames beside two busy loops, 484 in 5,502 with the tests too).
// Whether the xruns heard over a second of our cycles look like that: in a quarter of them at the
// least.
// With gaps in our own cycles (stalled) the server itself may have stopped, and tells of a few
// xruns as it goes on (at most 31 a second against 700 cycles, stopped every 200 ms): only xruns
// in half the server's cycles are a lost wake-up then.
constexpr bool wakeUpLost(std::uint64_t xruns, std::uint64_t ourCycles, std::uint64_t serverCycles,
                          bool stalled) {
  if (stalled) return xruns >= 8 && xruns * 2 >= serverCycles;
  return xruns > 0 && xruns * 4 >= ourCycles;
}
// Seconds of wakeUpLost in a row that renew the client, within kWakeUpLostAfterNs of another
// client's arrival (the only moment libjack can mix up their numbers).
constexpr int kWakeUpLostSeconds = 2;
constexpr Ns kWakeUpLostAfterNs = kAfterConnectNs;

}  // namespace cycle_rules

// Judges each cycle by the server's frame count (jack_get_cycle_times), by the gaps between its
// stamps where a catch-up shows in them, and by our own callbacks: when each began, and whether
// it began the moment the last ended. A wake-up of our callback that comes late, within a period,
// makes that one cycle late, and the next, on time, no catch-up, unless our callback ran into it.
class CycleClock {
 public:
  struct Times {
    jack_nframes_t frameTime = 0;  // jack_get_cycle_times's current_frames
    jack_time_t startUs = 0;       // its current_usecs
    float periodUs = 0;            // the period, frames over the sample rate (not the server's
                                   // own estimate, which runs far off after a stop)
    std::int64_t wokeNs = 0;       // when our callback began, on the monotonic clock
  };
  void judge(JackCycle& cycle, const Times& times);
  // Our callback ends, at endNs on the monotonic clock.
  void ended(std::int64_t endNs) { m_lastEndNs = endNs; }
  // A new client, or a cycle the server did not time: nothing to judge the next one by.
  void reset() {
    m_lastFrames = 0;
    m_wokeBeforeNs = 0;
    m_behindNs = 0;
    m_lastEndNs = 0;
    m_lastStep = 0;
  }

 private:
  Times m_last;
  jack_nframes_t m_lastFrames = 0;  // 0: no cycle yet
  jack_nframes_t m_lastStep = 0;    // frames between the last two cycles (0: not known)
  std::int64_t m_wokeBeforeNs = 0;  // when the callback before the last began (0: not known)
  std::int64_t m_behindNs = 0;      // how far our callbacks lag the server's rhythm
  std::int64_t m_lastEndNs = 0;     // 0: not known
};

}  // namespace midi
