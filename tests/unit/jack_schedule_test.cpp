// SPDX-License-Identifier: GPL-3.0-or-later
// A JACK port's output driven through random server schedules: a small model of how a server runs
// our client and one peer each cycle, with random strikes, device changes and renewals; the
// peer's ledger is checked all along. TAMRELS_SCHEDULES sets how many (make bench runs more).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
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
constexpr std::int64_t ms = 1'000'000;

// jack2: the peer runs after us in each cycle we run, and not in one the server runs without us
// (jackd 1.9.22 can run us every other cycle, libjack 1.9.21 never). A cycle of ours that ran
// into the next has the peer run twice, and read one of the two buffers twice. A cycle right
// behind the last (catch-up after a stop) may overwrite the last before the peer read it. An xrun
// loses a cycle of Note Offs alone (no rule brings a Note On back) and is told soon after.
// PipeWire's libjack stamps its catch-up cycles with their due times. A stop of seconds leaves
// the server's stamps apart from our clock for a while. The session renews a starved client.
struct Schedule {
  struct Note {
    bool on = false, everOn = false, held = false;  // at the peer; at the keys
    int written = 0;                                // Note Ons written, not yet read
    std::deque<std::int64_t> waiting;               // struck, not yet written
  };

  explicit Schedule(unsigned seed) : rng(seed) {
    frames = std::array{16u, 64u, 256u, 1024u, 8192u}[seed % 5];
    period = std::int64_t{frames} * 1000 * ms / std::array{44100, 48000, 96000}[seed / 5 % 3];
  }
  int roll(int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); }
  bool within(std::int64_t ns) { return static_cast<std::int64_t>(rng() % ns) < period; }
  void fault(const std::string& what, unsigned n) {
    faults << "cycle " << cycles << ": " << what << ", note " << n << "; last cycles: ..."
           << trace.substr(trace.size() > 600 ? trace.size() - 600 : 0) << "\n";
  }
  static std::string name(std::uint32_t m) {
    return (isNoteOn(m) ? "+" : "-") + std::to_string(m >> 8 & 0x7F);
  }

  void send(std::uint32_t m) {  // a key struck (+) or let go (-)
    if (out->send(m) != MMSYSERR_NOERROR) return;
    Note& n = notes[m >> 8 & 0x7F];
    n.held = isNoteOn(m);
    if (n.held) n.waiting.push_back(g_now);
    trace += name(m);
  }
  void write(std::uint32_t m) {  // W: the first of its note's strikes not stale by now
    last.push_back(m);
    trace += "W" + name(m);
    const unsigned i = m >> 8 & 0x7F;
    Note& n = notes[i];
    if (!isNoteOn(m)) return;
    while (!n.waiting.empty() && cycle_rules::stale(g_now - n.waiting.front(), judged))
      n.waiting.pop_front();
    if (n.waiting.empty()) return fault("a Note On never struck", i);
    if (n.waiting.front() < lastStruck) fault("strikes out of order", i);
    lastStruck = n.waiting.front();
    n.waiting.pop_front();
    ++n.written;
  }
  void receive() {  // r: the peer reads our last buffer
    for (std::uint32_t m : last) {
      const unsigned i = m >> 8 & 0x7F;
      Note& n = notes[i];
      trace += "r" + name(m);
      if (isNoteOn(m) && (n.on || n.written == 0)) fault("a Note On twice", i);
      if (isNoteOn(m) && n.written > 0) --n.written;
      if (isNoteOff(m) && !n.everOn) fault("a Note Off without its Note On", i);
      n.on = isNoteOn(m), n.everOn = n.everOn || n.on;
    }
  }
  // One cycle of the server's: h a stop of ms before it, S of seconds, c a catch-up, s a cycle
  // without us, l our wake-up late, o after our overrun, R a renewal, D a device change.
  void cycle() {
    ++cycles;
    // Our callback woken late now and then, never twice in a row of its own runs, a server's
    // cycles without us between them or not (then it would run into the next cycle unseen: a
    // Note On of the first may be lost, which no rule of ours can see coming).
    std::int64_t gap = period, lateBy = roll(10) == 0 && !wasLate ? roll(98) * period / 100 : 0;
    const bool catching = catchUp > 0;
    if (catching) {
      --catchUp, lateBy = 0, gap = period / 8, trace += "c";  // jackd2 sets its clock back
    } else if (within(200 * ms)) {
      const std::int64_t stop = (20 + roll(20)) * ms;
      (pipeWire ? g_now : start) += stop, trace += "h";
      if (!pipeWire)  // jackd2 stamps the cycles as if it had not stopped, and runs those missed
        drift = -stop, catchUp = static_cast<int>(std::min<std::int64_t>(3, stop / period));
    } else if (within(30'000 * ms)) {
      start += (1 + roll(4)) * 1000 * ms, drift = -3 * ms, trace += "S";
    }
    const bool skip = starvedFor > 0 && (--starvedFor % 2 == 0 || starveAll);
    if (!skip) wasLate = lateBy > 0;
    starvedRun = starvedFor > 0 ? starvedRun + 1 : 0;
    // The session renews a client never run after two windows of its counts, one run every
    // other cycle after two seconds of xruns (jack_session.cpp).
    if (starvedRun * period >= (starveAll ? std::max(8 * period, 50 * ms) : 2000 * ms))
      starvedFor = 0, renewDue = true;
    trace += skip ? "s" : lateBy ? "l" : ".";
    start += gap;
    overran = !pipeWire && ourEnd > start;  // our last callback ran into this cycle
    if (overran) trace += "o";
    drift -= drift * period / (1000 * ms);  // back to our clock in a second or so
    frameTime += frames;
    g_now = std::max(g_now, start + lateBy);
    const bool xrun = roll(100) == 0 && std::none_of(last.begin(), last.end(), isNoteOn);
    if (xrun && xrunAt == 0)
      xrunCycle = cycles, xrunAt = g_now + roll(25) * cycle_rules::doubtWindow(period) / 100;
    if (xrunAt != 0 && (g_now >= xrunAt || cycles - xrunCycle >= 2)) ++xrunsTold, xrunAt = 0;
    if (!(overran && roll(2) == 0) && !((catching && roll(2) == 0) || xrun)) receive();
    last.clear();
    if (skip) return;
    const CycleClock::Times t{frameTime, static_cast<jack_time_t>((start + drift) / 1000),
                              static_cast<float>(period) / 1000.0f, g_now};
    JackCycle c{frames, false, xrunsTold};
    clock.judge(c, t);
    judged = c.periodNs;  // as the output takes it
    out->process(c, g_now,
                 {this, [](void* u, const unsigned char* b, std::size_t n) {
                    static_cast<Schedule*>(u)->write(b[0] | b[1] << 8 | (n > 2 ? b[2] << 16 : 0));
                    return true;
                  }});
    clock.ended(g_now += period / 10);  // our callback's run
    if (overran) receive();  // woken by our overrun cycle too, the peer read this buffer early
    ourEnd = g_now;
  }
  void tick() {
    cycle();
    if (confirmIn > 0 && --confirmIn == 0) out->step(OutputEvent::Confirmed);
    if (renewDue) renewDue = false, trace += "R", out->renew(), connect();
  }
  void connect() {  // confirmed a few cycles on: strikes, closes and renewals may come first
    out->step(OutputEvent::PortThere);
    confirmIn = 1 + roll(4);
  }
  // The held keys let go, then cycles until the output has settled, counted as the session
  // counts them (not while no cycle of ours comes for 250 ms); the peer must have nothing on.
  void close() {
    for (unsigned i = 0; i < 128; ++i)
      if (notes[i].held) send(noteOffFor(i));
    for (std::int64_t spent = 0, before = g_now;
         !out->settled() && spent < cycle_rules::settleTime(period); before = g_now) {
      tick();
      if (g_now - ourEnd < 250 * ms) spent += std::min(g_now - before, 250 * ms);
    }
    for (int i = 0; i < 8; ++i) cycle();  // the last buffer is read before the port goes
    for (unsigned i = 0; i < 128; ++i) {
      Note& n = notes[i];
      if (n.on) fault("left on after the close", i);
      if (n.written) fault("a Note On written where the peer never read it", i);
      for (std::int64_t at : n.waiting)  // never written: only a strike too old to play
        if (!cycle_rules::stale(g_now - at, period)) fault("a strike lost", i);
      const bool everOn = n.everOn;
      n = Note{};
      n.everOn = everOn;
    }
  }
  void run(int steps) {
    out = std::make_unique<CycledOutput>(modelClock);
    connect();
    for (int i = 0; i < steps; ++i) {
      const unsigned n = 60 + static_cast<unsigned>(roll(8));
      if (roll(3) == 0) send((notes[n].held ? 0x80u : 0x7F0090u) | n << 8);
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
  std::int64_t period, start = 1000 * ms, drift = 0, ourEnd = 0, judged = 0, lastStruck = 0,
                       xrunAt = 0;
  bool pipeWire = rng() % 2 == 0, overran = false, starveAll = false, renewDue = false,
       wasLate = false;
  int catchUp = 0, starvedFor = 0, starvedRun = 0, cycles = 0, confirmIn = 0, xrunCycle = 0;
  std::uint64_t xrunsTold = 0;
  CycleClock clock;
  std::unique_ptr<CycledOutput> out;
  std::vector<std::uint32_t> last;
  Note notes[128];
  std::string trace;
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
