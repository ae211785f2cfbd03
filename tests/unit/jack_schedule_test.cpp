// SPDX-License-Identifier: GPL-3.0-or-later
// A JACK port's output driven through random server schedules: a small model of how a server runs
// our client and one peer each cycle, with random strikes, device changes and renewals; the
// peer's ledger is checked after every schedule. TAMRELS_SCHEDULES sets how many (make bench runs
// more).
#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <memory>
#include <random>
#include <sstream>

#include "midi/ports/cycled_output.h"

using namespace midi;

namespace {

std::int64_t g_now = 0;  // our clock, in ns
std::int64_t modelClock() { return g_now; }

// jack2: the peer runs after us in each cycle we run, and not in one the server runs without us
// (jackd 1.9.22 can run us every other cycle, libjack 1.9.21 never). A cycle of ours that ran
// into the next has the peer run twice, and read one of the two buffers twice. A cycle right
// behind the last (catch-up after a stop) may overwrite the last before the peer read it.
// PipeWire's libjack stamps its catch-up cycles with their due times. A stop of seconds leaves
// the server's stamps apart from our clock for a while.
struct Schedule {
  explicit Schedule(unsigned seed) : rng(seed) {
    const int sizes[] = {16, 64, 256, 1024, 8192};
    const int rates[] = {44100, 48000, 96000};
    frames = static_cast<jack_nframes_t>(sizes[seed % 5]);
    period = std::int64_t{frames} * 1'000'000'000 / rates[seed / 5 % 3];
  }
  int roll(int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); }
  bool within(std::int64_t ns) {
    return static_cast<std::int64_t>(rng() % ns) < period;
  }  // once in ns
  void fault(const std::string& what) {
    faults << "cycle " << cycles << ": " << what << "; last cycles: ..."
           << trace.substr(trace.size() > 600 ? trace.size() - 600 : 0) << "\n";
  }

  // A Note On written is the first of its note's strikes not dropped as stale by then.
  void write(std::uint32_t m) {
    last.push_back(m);
    trace += "W" + std::to_string(m & 0xF0) + ":" + std::to_string(m >> 8 & 0x7F);
    const unsigned note = m >> 8 & 0x7F;
    if (!isNoteOn(m)) return;
    while (!waiting[note].empty() && cycle_rules::stale(g_now - waiting[note].front(), judged))
      waiting[note].pop_front();
    if (waiting[note].empty()) return fault("a Note On never struck, note " + std::to_string(note));
    if (waiting[note].front() < lastStruck)
      fault("strikes out of order, note " + std::to_string(note));
    lastStruck = waiting[note].front();
    waiting[note].pop_front();
    ++written[note];
  }
  void receive(const std::vector<std::uint32_t>& buffer) {
    for (std::uint32_t m : buffer) {
      const unsigned note = m >> 8 & 0x7F;
      trace += "r" + std::to_string(m & 0xF0) + ":" + std::to_string(note);
      if (isNoteOn(m)) {
        if (on[note] || written[note] == 0)
          fault("a Note On twice, note " + std::to_string(note));
        else
          --written[note];
        on[note] = everOn[note] = true;
      } else if (isNoteOff(m)) {
        if (!everOn[note]) fault("a Note Off without its Note On, note " + std::to_string(note));
        on[note] = false;
      }
    }
  }
  void send(std::uint32_t m) {
    if (out->send(m) != MMSYSERR_NOERROR) return;
    const unsigned note = m >> 8 & 0x7F;
    held[note] = isNoteOn(m);
    if (isNoteOn(m)) waiting[note].push_back(g_now);
    trace += (isNoteOn(m) ? "+" : "-") + std::to_string(note);
  }
  // One cycle of the server's; our callback runs unless we are starved.
  void cycle() {
    ++cycles;
    std::int64_t gap = period, lateBy = roll(10) == 0 ? roll(98) * period / 100 : 0;
    const bool catching = catchUp > 0;
    // The schedule as it goes: h a stop of ms, S of seconds, c a catch-up, s a cycle without us,
    // l our wake-up late, o after our overrun, + - struck and let go, W written, r read by the
    // peer.
    if (catching) {
      --catchUp, lateBy = 0, gap = period / 8, trace += "c";  // jackd2 sets its clock back
    } else if (within(200'000'000)) {  // PipeWire runs the cycles missed, stamped as due
      const std::int64_t stop = (20 + roll(20)) * 1'000'000LL;
      (pipeWire ? g_now : start) += stop, trace += "h";
      if (!pipeWire) catchUp = static_cast<int>(std::min<std::int64_t>(3, stop / period));
    } else if (within(30'000'000'000)) {
      start += (1 + roll(4)) * 1'000'000'000LL, drift = -3'000'000, trace += "S";
    }
    const bool skip = starvedFor > 0 && (--starvedFor % 2 == 0 || starveAll);
    // The session renews a starved client after two windows of its counts (jack_session.cpp).
    starvedRun = starvedFor > 0 ? starvedRun + 1 : 0;
    if (starvedRun * period >= std::max<std::int64_t>(8 * period, 50'000'000))
      starvedFor = 0, renewDue = true;
    trace += skip ? "s" : lateBy ? "l" : ".";
    start += gap;
    overran = !pipeWire && ourEnd > start;  // our last callback ran into this cycle
    if (overran) trace += "o";
    drift -= drift * period / 1'000'000'000;  // back to our clock in a second or so
    frameTime += frames;
    g_now = std::max(g_now, start + lateBy);
    // An xrun: the peer missed a cycle (one with Note Offs alone: no rule brings a Note On back),
    // and the server tells of it soon after: within a quarter of the doubt window, or two cycles.
    const bool xrun = roll(100) == 0 && std::none_of(last.begin(), last.end(), isNoteOn);
    if (xrun && xrunAt == 0)
      xrunAt = g_now + static_cast<std::int64_t>(rng() % (cycle_rules::doubtWindow(period) / 4));
    if (xrun) xrunCycle = cycles;
    if (xrunAt != 0 && (g_now >= xrunAt || cycles - xrunCycle >= 2)) ++xrunsTold, xrunAt = 0;
    const bool lostRead = (catching && roll(2) == 0) || xrun;
    if (!(overran && roll(2) == 0) && !lostRead) receive(last);  // the peer reads it after us
    last.clear();
    if (skip) return;
    CycleClock::Times t{frameTime, static_cast<jack_time_t>((start + drift) / 1000),
                        static_cast<float>(period) / 1000.0f, g_now};
    JackCycle c{frames, false, xrunsTold};
    clock.judge(c, t);
    judged = c.periodNs;  // as the output takes it
    out->process(c, g_now,
                 {this, [](void* u, const unsigned char* b, std::size_t n) {
                    static_cast<Schedule*>(u)->write(b[0] | b[1] << 8 | (n > 2 ? b[2] << 16 : 0));
                    return true;
                  }});
    g_now += period / 10;  // our callback's run
    clock.ended(g_now);
    // Woken by our overrun cycle too, the peer read either that cycle's buffer or this one's.
    if (overran) receive(last);
    ourEnd = g_now;
  }
  void tick() {
    cycle();
    if (confirmIn > 0 && --confirmIn == 0) out->step(OutputEvent::Confirmed);
    if (renewDue) renewDue = false, trace += "R", out->renew(), connect();
  }
  // The connection is confirmed a few cycles on; strikes, closes and renewals may come first.
  void connect() {
    out->step(OutputEvent::PortThere);
    confirmIn = 1 + roll(4);
  }
  // A device change or a close: Note Offs for the held keys, then cycles until the output has
  // settled (cycle_rules::settleTime at the most), and the peer must have nothing on.
  void close() {
    for (unsigned n = 0; n < 128; ++n)
      if (held[n]) send(noteOffFor(n));
    // Counted as the session counts it: only while our cycles come (250 ms without one stops it).
    for (std::int64_t spent = 0, before = g_now;
         !out->settled() && spent < cycle_rules::settleTime(period);) {
      tick();
      if (g_now - ourEnd < 250'000'000)
        spent += std::min<std::int64_t>(g_now - before, 250'000'000);
      before = g_now;
    }
    for (int i = 0; i < 8; ++i) cycle();  // the last buffer is read before the port goes
    for (unsigned n = 0; n < 128; ++n) {
      if (on[n]) fault("left on after the close, note " + std::to_string(n));
      if (written[n])
        fault("a Note On written where the peer never read it, note " + std::to_string(n));
      for (std::int64_t at : waiting[n])  // never written: only a strike too old to play
        if (!cycle_rules::stale(g_now - at, period))
          fault("a strike lost, note " + std::to_string(n));
      on[n] = false, written[n] = 0, waiting[n].clear();
    }
  }
  void run(int steps) {
    out = std::make_unique<CycledOutput>(modelClock);
    connect();
    for (int i = 0; i < steps; ++i) {
      const unsigned note = 60 + static_cast<unsigned>(roll(8));
      if (roll(3) == 0) send((held[note] ? 0x80u : 0x7F0090u) | note << 8);
      if (roll(400) == 0)
        trace += "D", close(), out = std::make_unique<CycledOutput>(modelClock), connect();
      if (roll(800) == 0) starvedFor = 8 + roll(16), starveAll = roll(2) == 0;
      if (roll(800) == 0) renewDue = true;
      tick();
    }
    close();
  }

  std::mt19937_64 rng;
  jack_nframes_t frames, frameTime = 0;
  std::int64_t period, start = 1'000'000'000, drift = 0, ourEnd = 0, judged = 0, lastStruck = 0,
                       xrunAt = 0;
  bool pipeWire = rng() % 2 == 0, overran = false, starveAll = false;
  int catchUp = 0, starvedFor = 0, starvedRun = 0, cycles = 0, confirmIn = 0, xrunCycle = 0;
  bool renewDue = false;
  std::string trace;
  std::uint64_t xrunsTold = 0;
  CycleClock clock;
  std::unique_ptr<CycledOutput> out;
  std::vector<std::uint32_t> last;
  bool on[128] = {}, everOn[128] = {}, held[128] = {};
  int written[128] = {};  // Note Ons written, not yet read
  std::deque<std::int64_t> waiting[128];
  std::ostringstream faults;
};

TEST(JackSchedules, EveryStrikeOnceInOrderOrDroppedWholeAndNothingLeftOn) {
  const char* count = std::getenv("TAMRELS_SCHEDULES");
  const unsigned schedules = count ? static_cast<unsigned>(std::atoi(count)) : 1000;
  for (unsigned seed = 0; seed < schedules; ++seed) {
    g_now = 0;
    Schedule s(seed);
    s.run(400);
    ASSERT_EQ(s.faults.str(), "") << "seed " << seed << ", " << s.frames << " frames, period "
                                  << s.period << " ns" << (s.pipeWire ? ", PipeWire" : "");
  }
}

}  // namespace
