// SPDX-License-Identifier: GPL-3.0-or-later
// The handle table and the parts of the system MIDI service that need no running peer.

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "midi/ports/alsa_output.h"
#include "midi/ports/cycled_output.h"
#include "midi/ports/output_life.h"
#include "midi/ports/port_names.h"
#include "midi/servers/jack_session.h"
#include "midi/servers/pipewire_stream.h"
#include "midi/servers/pulse_stream.h"
#include "midi/service/handle_table.h"
#include "midi/service/system_midi_service.h"
#include "midi/synth/jack_sink.h"
#include "midi/synth/render_gate.h"

namespace fs = std::filesystem;
using namespace midi;

namespace {

TEST(HandleTable, DeadHandlesAreToldApartFromLiveOnes) {
  HandleTable<int> table;
  EXPECT_EQ(table.find(0), nullptr);
  const MidiOutHandle a = table.insert(std::make_unique<int>(1));
  ASSERT_NE(a, 0u);
  EXPECT_EQ(*table.find(a), 1);
  EXPECT_EQ(table.find(a + 1), nullptr);        // invented
  EXPECT_EQ(table.find(0xFFFFFFFFu), nullptr);  // invented, far out
  ASSERT_NE(table.remove(a), nullptr);
  EXPECT_EQ(table.find(a), nullptr);  // closed
  EXPECT_EQ(table.remove(a), nullptr);

  const MidiOutHandle b = table.insert(std::make_unique<int>(2));  // same slot, new generation
  EXPECT_NE(a, b);
  EXPECT_EQ(table.find(a), nullptr);  // stale
  EXPECT_EQ(*table.find(b), 2);
}

// Eight slots reused in a shuffled order, about 1,250 times each: fewer than a generation's
// period, so no handle may come back, live or dead, and every dead one stays dead.
TEST(HandleTable, NoHandleComesBackWithinItsSlotsPeriod) {
  HandleTable<int> table;
  std::vector<MidiOutHandle> live;
  std::set<MidiOutHandle> issued;
  std::minstd_rand random(7);
  for (int i = 0; i < 10000; ++i) {
    if (live.size() == 8) {
      const std::size_t k = random() % live.size();
      ASSERT_NE(table.remove(live[k]), nullptr);
      live.erase(live.begin() + static_cast<std::ptrdiff_t>(k));
    }
    const MidiOutHandle h = table.insert(std::make_unique<int>(i));
    ASSERT_TRUE(issued.insert(h).second) << "handle " << h << " handed out twice, at " << i;
    live.push_back(h);
  }
  for (MidiOutHandle h : issued)
    EXPECT_EQ(table.find(h) != nullptr, std::ranges::count(live, h) == 1) << h;
}

// The generation has 12 bits and skips 0: a slot's handle repeats after exactly 4,095 reuses, so
// a handle kept that long after its close names the output then open in its slot.
TEST(HandleTable, ASlotsHandleRepeatsAfterExactly4095Reuses) {
  HandleTable<int> table;
  std::vector<MidiOutHandle> handles;
  for (int i = 0; i <= 4095; ++i) {
    handles.push_back(table.insert(std::make_unique<int>(i)));
    ASSERT_NE(table.remove(handles.back()), nullptr);
  }
  EXPECT_EQ(std::set(handles.begin(), handles.end() - 1).size(), 4095u);
  EXPECT_EQ(handles[4095], handles[0]);
}

TEST(ShortMessageLength, ByteCountFromTheStatusByte) {
  EXPECT_EQ(shortMessageLength(0x007F3C90), 3);
  EXPECT_EQ(shortMessageLength(0x00003C80), 3);
  EXPECT_EQ(shortMessageLength(0x000000C5), 2);  // program change
  EXPECT_EQ(shortMessageLength(0x000040D0), 2);  // channel pressure
  EXPECT_EQ(shortMessageLength(0x00407FE0), 3);  // pitch bend
  EXPECT_EQ(shortMessageLength(0x00003C3C), 0);  // no status byte
  EXPECT_EQ(shortMessageLength(0x000000F8), 0);  // system real time: not sent here
}

TEST(PortNames, CutToWholeUtf8Characters) {
  EXPECT_EQ(cutUtf8("short", 31), "short");
  const std::string s = std::string(30, 'a') + "\xC3\xA9" + "b";  // é straddles byte 31
  EXPECT_EQ(cutUtf8(s, 31), std::string(30, 'a'));
  const std::string euro = std::string(29, 'a') + "\xE2\x82\xAC";  // € is 3 bytes: 32 in all
  EXPECT_EQ(cutUtf8(euro, 31), std::string(29, 'a'));
  EXPECT_EQ(cutUtf8(std::string(40, 'x'), 31).size(), 31u);
}

TEST(PortNames, AlsaPortsAreShownByTheirPortName) {
  EXPECT_EQ(alsaDisplayName("Midi Through:Midi Through Port-0 14:0"), "Midi Through Port-0");
  EXPECT_EQ(alsaDisplayName("FLUID Synth (1234):Synth input port (1234:0) 128:0"),
            "Synth input port (1234:0)");
  EXPECT_EQ(alsaDisplayName("System:Timer 0:0"), "");  // the system client
  EXPECT_EQ(alsaDisplayName("System:Announce 0:1"), "");
  EXPECT_EQ(alsaDisplayName("Tamrels Midi Piano:out 129:0"), "");  // our own
}

TEST(PortNames, APortIsFoundAgainByItsNamesNeverByItsNumbers) {
  struct Case {
    PortApi api;
    const char* before;
    const char* now;
    bool same;
  };
  const Case cases[] = {
      {PortApi::Alsa, "Synth:Synth input 128:0", "Synth:Synth input 130:0", true},  // restarted
      {PortApi::Alsa, "Synth:Synth input 128:0", "Synth:Synth input 128:1", true},
      {PortApi::Alsa, "Synth:Synth input 128:0", "Synth:Other input 128:0", false},
      {PortApi::Alsa, "Synth:Synth input 128:0", "Other:Synth input 128:0", false},
      {PortApi::Alsa, "FLUID Synth (1234):Synth input port (1234:0) 128:0",
       "FLUID Synth (1234):Synth input port (1234:0) 129:0", true},
      {PortApi::Alsa, "FLUID Synth (1234):Synth input port (1234:0) 128:0",
       "FLUID Synth (99):Synth input port (99:0) 128:0", false},  // another program's port
      {PortApi::Jack, "midi-monitor:input", "midi-monitor:input", true},
      {PortApi::Jack, "a2j:Synth [128] (playback): Synth input",
       "a2j:Synth [130] (playback): Synth input", false},  // JACK names are whole
  };
  for (const Case& c : cases)
    EXPECT_EQ(samePort(c.api, c.before, c.now), c.same) << c.before << " / " << c.now;
  EXPECT_EQ(alsaPortNames("Midi Through:Midi Through Port-0 14:0"),
            "Midi Through:Midi Through Port-0");
  EXPECT_EQ(alsaPortNames("no address"), "no address");
}

// The table is output_life.h's. Its rules, over every state with every event, leave four
// decisions open; those rows stand below them.
TEST(OutputLife, EveryObservationLeadsWhereItShould) {
  using S = OutputState;
  using E = OutputEvent;
  for (S from : {S::Connecting, S::Connected, S::Lost})
    for (E event : {E::PortThere, E::Confirmed, E::Refused, E::PortGone, E::ServerGone}) {
      SCOPED_TRACE(testing::Message() << int(from) << " + " << int(event));
      const OutputStep step = nextOutputState(from, event);
      const bool gone = event == E::PortGone || event == E::ServerGone;
      const bool entered = step.next != from;
      EXPECT_EQ(step.next == S::Lost, gone || (!entered && from == S::Lost))
          << "Lost is entered when the port or the server goes, and at nothing else";
      EXPECT_EQ(step.next == S::Connected,
                event == E::Confirmed || (!entered && from == S::Connected))
          << "Connected is entered when the server confirms, and at nothing else";
      EXPECT_EQ(step.switchOffFirst, entered && step.next == S::Connected)
          << "the held notes' Offs go on entering Connected, and only then";
      EXPECT_EQ(step.connect, step.next == S::Connecting) << "a connection is asked while owed";
    }
  EXPECT_EQ(nextOutputState(S::Connected, E::PortThere).next, S::Connected);  // no reconnection
  EXPECT_EQ(nextOutputState(S::Connected, E::Refused).next, S::Connecting);   // the link was cut
  EXPECT_EQ(nextOutputState(S::Lost, E::PortThere).next, S::Connecting);      // the peer is back
  EXPECT_EQ(nextOutputState(S::Lost, E::Refused).next, S::Lost);  // a refusal brings back nothing
}

// A JACK port's output driven cycle by cycle at 256 frames and 48 kHz, with a clock of the test's
// own; the buffer records what each cycle writes.
class PortCycles : public ::testing::Test {
 protected:
  static constexpr std::int64_t kPeriodNs = 256 * 1'000'000'000LL / 48000;
  static inline std::int64_t now = 1'000'000'000;
  static std::int64_t queueClock() { return now; }
  void SetUp() override { now = 1'000'000'000; }

  // One cycle, gapNs after the last by the server's clock, whose callback woke wokeLateNs after
  // its start; what it wrote.
  std::vector<std::uint32_t> cycle(std::int64_t gapNs = 0 /* a period */, bool xrun = false,
                                   std::int64_t wokeLateNs = 0, bool skipped = false) {
    if (gapNs == 0) gapNs = period;
    times.startUs += static_cast<jack_time_t>(gapNs / 1000);
    times.frameTime += skipped ? 2 * frames : frames;
    times.periodUs = static_cast<float>(period) / 1000;
    times.wokeNs = now = static_cast<std::int64_t>(times.startUs) * 1000 + wokeLateNs;
    xruns += xrun;
    JackCycle jack{frames, false, xruns};
    clock.judge(jack, times);
    std::vector<std::uint32_t> written;
    const CycledOutput::Buffer buffer{
        &written, [](void* user, const unsigned char* b, std::size_t n) {
          static_cast<std::vector<std::uint32_t>*>(user)->push_back(b[0] | b[1] << 8 |
                                                                    (n > 2 ? b[2] << 16 : 0));
          return true;
        }};
    out.process(jack, now, buffer);
    clock.ended(now + runNs);
    return written;
  }
  // Regular cycles until one writes something, ten at most.
  std::vector<std::uint32_t> next(bool xrun = false) {
    for (int i = 0; i < 10; ++i, xrun = false)
      if (auto written = cycle(period, xrun); !written.empty()) return written;
    return {};
  }
  // Regular cycles for 0.1 s, writing nothing: whether the output has settled by then.
  bool settles() {
    bool quiet = true;
    for (int i = 0; i < 20; ++i) quiet = cycle().empty() && quiet;
    return quiet && out.settled();
  }
  // Regular cycles for 0.2 s: what came before is out of doubt.
  void connect() {
    out.step(OutputEvent::PortThere);
    out.step(OutputEvent::Confirmed);
    for (int i = 0; i < 40; ++i) cycle();
  }
  using Messages = std::vector<std::uint32_t>;
  CycledOutput out{queueClock};
  std::uint64_t xruns = 0;
  CycleClock clock;
  CycleClock::Times times{0, 1'000'000, 0, 0};
  std::int64_t period = kPeriodNs;
  jack_nframes_t frames = 256;
  std::int64_t runNs = 20'000;  // how long our callback runs
};

constexpr std::uint32_t on(int note) { return 0x7F0090u | note << 8; }
constexpr std::uint32_t off(int note) { return 0x80u | note << 8; }

TEST_F(PortCycles, NothingIsWrittenWhereThePeerMayNotReadItAndDoubtfulNoteOffsGoAgain) {
  connect();
  out.send(on(60));
  EXPECT_EQ(cycle(), Messages{on(60)});
  // The server stopped for 30 ms: shorter than a stall, and it catches up back to back. The
  // messages wait for the first cycle on time.
  out.send(off(60));
  out.send(on(62));
  EXPECT_EQ(cycle(30'000'000), Messages{}) << "written in the first cycle after a hiccup";
  EXPECT_EQ(cycle(300'000), Messages{}) << "written in a catch-up cycle";
  EXPECT_EQ(next(), (Messages{off(60), on(62)}));
  // An xrun heard: the Note Offs of the last 100 ms go again; the Note On never does.
  EXPECT_EQ(next(true), Messages{off(60)});
  connect();
  // A cycle right behind one that wrote: that one's Note Offs go again, unless struck since.
  out.send(off(62));
  EXPECT_EQ(cycle(), Messages{off(62)});
  cycle(300'000);
  EXPECT_EQ(next(), (Messages{off(62)}));
  connect();
  for (std::uint32_t m : {on(60), off(60), on(60)}) out.send(m);
  EXPECT_EQ(cycle(), (Messages{on(60), off(60), on(60)}));
  cycle(300'000);
  EXPECT_EQ(next(), Messages{}) << "a Note Off went again over a note struck since";
  EXPECT_TRUE(settles());
  out.send(0x003E90);  // struck at velocity 0, and let go: both go as they are
  out.send(off(62));
  EXPECT_EQ(next(), (Messages{0x3E90, off(62)}));
  connect();
  // A callback of ours that woke 0.9 of a period late: that cycle is let pass, but the next, on
  // time by the server's clock, is no catch-up. A cycle is missed where frames were skipped.
  out.send(on(64));
  EXPECT_EQ(cycle(kPeriodNs, false, kPeriodNs * 9 / 10), Messages{});
  EXPECT_EQ(cycle(), Messages{on(64)});
  out.send(off(64));
  EXPECT_EQ(cycle(), Messages{off(64)});
  EXPECT_EQ(next(), Messages{}) << "a Note Off went again";
  out.send(on(65));
  EXPECT_EQ(cycle(kPeriodNs, false, 0, true), Messages{}) << "written after frames were skipped";
  EXPECT_EQ(next(), Messages{on(65)});
  connect();
  out.send(off(65));  // in doubt, its resend in doubt again: it goes a third time
  EXPECT_EQ(cycle(), Messages{off(65)});
  cycle(300'000);
  EXPECT_EQ(next(), Messages{off(65)});
  cycle(300'000);
  EXPECT_EQ(next(), Messages{off(65)}) << "a Note Off sent again was not doubted again";
  // jackd 1.9.22 after a restart can run our client only every other cycle, steadily: the
  // first such cycle is let pass, as after a hiccup, but from the next the rhythm is the
  // server's own, and no catch-up follows. Struck then, the note goes within two of our cycles.
  for (int i = 0; i < 3; ++i) cycle(2 * kPeriodNs, false, 0, true);
  out.send(on(69));
  Messages everyOther = cycle(2 * kPeriodNs, false, 0, true);
  for (std::uint32_t m : cycle(2 * kPeriodNs, false, 0, true)) everyOther.push_back(m);
  EXPECT_EQ(everyOther, Messages{on(69)}) << "starved of writes while run every other cycle";
  out.send(off(69));
  EXPECT_EQ(cycle(2 * kPeriodNs, false, 0, true), Messages{off(69)});
  connect();
  // PipeWire hung for 0.2 s, and runs the cycles it missed back to back, each stamped as due.
  out.send(on(66));
  EXPECT_EQ(cycle(), Messages{on(66)});
  out.send(off(66));
  Messages caughtUp;
  for (std::int64_t behind = 200'000'000; behind > 0; behind -= kPeriodNs - 60'000)
    for (std::uint32_t m : cycle(kPeriodNs, false, behind)) caughtUp.push_back(m);
  EXPECT_EQ(caughtUp, Messages{}) << "written while the server caught up";
  EXPECT_EQ(next(), Messages{off(66)});
  // At 64 frames our callback woke 0.97 of a period late and ran into the next cycle: that one
  // began before ours ended, and the server may wake the peer for both. Neither is trusted.
  frames = 64;
  period = 64 * 1'000'000'000LL / 48000;
  runNs = period / 10;
  connect();
  out.send(on(68));
  EXPECT_EQ(cycle(period, false, period * 97 / 100), Messages{});
  EXPECT_EQ(cycle(period, false, period * 7 / 100 + 1000), Messages{})
      << "written in a cycle that began before our last callback ended";
  EXPECT_EQ(next(), Messages{on(68)});
  out.send(off(68));
  EXPECT_EQ(next(), Messages{off(68)});
  frames = 256;
  period = kPeriodNs;
  runNs = 20'000;
  // Settled only once no doubt can come any more: 100 ms, or three periods at long periods. A
  // note struck again while its last Note Off may still be doubted gets that Note Off first.
  for (int i = 0; i < 2; ++i) {
    out.send(on(67));
    out.send(off(67));
    EXPECT_EQ(next(), (i == 0 ? Messages{on(67), off(67)} : Messages{off(67), on(67), off(67)}));
    EXPECT_FALSE(out.settled()) << "a close would give up a Note Off whose cycle is in doubt";
    int after = 0;
    for (; !out.settled() && after < 100; ++after) cycle();
    EXPECT_EQ(after, i == 0 ? 19 : 4) << "periods after the last Note Off";
    period = 8192 * 1'000'000'000LL / 48000;
  }
}

TEST_F(PortCycles, AReconnectionEndsEachNoteOnceAndOrphanNoteOffsGoNowhere) {
  // Struck before the first connection: a close meanwhile waits for the strike, unless it waited
  // too long to be played.
  out.step(OutputEvent::PortThere);
  out.send(on(59));
  out.send(off(59));
  EXPECT_FALSE(out.settled()) << "a close before the connection would throw away a strike";
  for (int i = 0; i < 20; ++i) cycle();
  EXPECT_TRUE(out.settled()) << "a strike too old to play holds a close up";
  out.abandon();
  EXPECT_EQ(out.staleDropped(), 1u) << "the strike that the close gave up is not told";
  connect();
  out.send(on(60));
  out.send(on(62));
  EXPECT_EQ(cycle(), (Messages{on(60), on(62)}));
  out.step(OutputEvent::Refused);  // a patchbay cut the link: 62's Note Off waits in the queue
  EXPECT_EQ(out.send(off(62)), MMSYSERR_NOERROR);
  EXPECT_FALSE(out.settled()) << "a closing output would give up the Note Offs it owes";
  out.step(OutputEvent::PortGone);  // then the peer went: 60's Note Off is remembered
  EXPECT_EQ(out.send(off(60)), MMSYSERR_ERROR);
  EXPECT_EQ(out.send(on(64)), MMSYSERR_ERROR);
  EXPECT_TRUE(out.settled());
  out.step(OutputEvent::PortThere);
  EXPECT_FALSE(out.settled());
  out.step(OutputEvent::Confirmed);
  EXPECT_EQ(out.send(off(64)), MMSYSERR_NOERROR);  // its Note On was refused: an orphan
  EXPECT_FALSE(out.settled()) << "the switch-off is owed";
  out.send(on(60));  // struck again before the first cycle after the connection settles
  Messages written = next();
  for (int i = 0; i < 6; ++i)
    for (std::uint32_t m : cycle()) written.push_back(m);
  EXPECT_EQ(written, (Messages{off(60), off(62), on(60)}));
  EXPECT_TRUE(settles());
  out.step(OutputEvent::Refused);  // cut and made again with 60 held: only its switch-off is owed
  out.step(OutputEvent::Confirmed);
  EXPECT_FALSE(out.settled()) << "a closing output would give up the switch-off it owes";
  EXPECT_EQ(next(), Messages{off(60)});
  EXPECT_TRUE(settles());
  out.send(off(60));
  EXPECT_EQ(next(), Messages{}) << "a Note Off after the switch-off ended its note";
  out.send(on(64));  // held up by a stall: dropped, and its Note Off with it
  cycle(200'000'000);
  out.send(0x7F40B0);  // controller 64 between them: not a note
  out.send(off(64));
  EXPECT_EQ(next(), Messages{0x7F40B0});
  // Our client renewed under a held key, right after a Note Off and long after the connection: a
  // key struck meanwhile waits for the new connection, behind the Note Offs that the old one's
  // peer may not have read.
  for (int i = 0; i < 1000; ++i) cycle();  // 5.3 s
  out.send(on(65));
  out.send(off(65));
  EXPECT_EQ(next(), (Messages{on(65), off(65)}));
  out.renew();
  EXPECT_EQ(out.send(on(67)), MMSYSERR_NOERROR);
  out.step(OutputEvent::PortThere);
  out.step(OutputEvent::Confirmed);
  EXPECT_EQ(next(), (Messages{off(60), off(65), on(67)}));
  // At 8,192 frames a Note Off stays in doubt three periods, at a renewal as at an xrun.
  period = 8192 * 1'000'000'000LL / 48000;
  connect();
  out.send(off(67));
  EXPECT_EQ(next(), Messages{off(67)});
  cycle();
  out.renew();
  out.step(OutputEvent::PortThere);
  out.step(OutputEvent::Confirmed);
  EXPECT_EQ(next(), (Messages{off(60), off(65), off(67)}))  // 60 and 65: just after connecting
      << "a Note Off still in doubt went no more";
  // Renewed right after a close's last Note Off: the close waits for it to go again.
  out.send(on(68));
  out.send(off(68));
  EXPECT_EQ(next(), (Messages{on(68), off(68)}));
  out.renew();
  out.step(OutputEvent::PortThere);
  EXPECT_FALSE(out.settled()) << "a close would give up the Note Off that a renewal owes";
  out.step(OutputEvent::Confirmed);
  const Messages again = next();
  EXPECT_NE(std::find(again.begin(), again.end(), off(68)), again.end());
  // A peer that came back is a new one: an xrun heard next doubts nothing written to the old,
  // nor does a renewal of our client while the peer was away or just before it went.
  for (const char* renewed : {"never", "while it was away", "just before it went"}) {
    connect();
    out.send(on(70));
    out.send(off(70));
    EXPECT_EQ(next(), (Messages{on(70), off(70)}));
    if (renewed[0] == 'j') out.renew();
    out.step(OutputEvent::PortGone);
    if (renewed[0] == 'w') out.renew();
    out.step(OutputEvent::PortThere);
    out.step(OutputEvent::Confirmed);
    EXPECT_EQ(next(true), Messages{})
        << "a Note Off went to a peer that never had its note, renewed " << renewed;
  }
  // A patchbay cut the link a cycle before the session saw it: that cycle's Note Off went to no
  // one, and goes again with the link; the Note On does not.
  connect();
  out.send(on(71));
  out.send(off(71));
  EXPECT_EQ(next(), (Messages{on(71), off(71)}));
  out.step(OutputEvent::Refused);
  out.step(OutputEvent::Confirmed);
  EXPECT_EQ(next(), Messages{off(71)}) << "a Note Off written into a cut link was lost";
}

TEST(JackSessionLife, LooksForTheServerOnlyAfterItWent) {
  using S = JackSession::State;
  using E = JackSession::Event;
  EXPECT_EQ(JackSession::next(S::Idle, E::OpenFailed), S::Idle);
  EXPECT_EQ(JackSession::next(S::Idle, E::Opened), S::Active);
  EXPECT_EQ(JackSession::next(S::Idle, E::ServerGone), S::Idle);
  EXPECT_EQ(JackSession::next(S::Active, E::ServerGone), S::Gone);
  EXPECT_EQ(JackSession::next(S::Gone, E::OpenFailed), S::Gone);
  EXPECT_EQ(JackSession::next(S::Gone, E::Opened), S::Active);
  for (S from : {S::Idle, S::Active, S::Gone})  // shut down: no cycle is waited for any more
    EXPECT_EQ(JackSession::next(from, E::Closed), S::Idle);
}

// Each cycle rule at the platform's edges: 16 frames at 96 kHz, 256 at 48 kHz, 8,192 at 44.1 kHz.
TEST(CycleRules, EachRuleHoldsAtThePlatformsEdges) {
  namespace r = cycle_rules;
  constexpr std::int64_t ms = 1'000'000;
  struct Row {
    std::int64_t period, doubt, stale, outputStall;
  };
  for (const Row row :
       {Row{16 * 1'000'000'000LL / 96'000, 100 * ms, 100 * ms, 50 * ms},
        Row{256 * 1'000'000'000LL / 48'000, 100 * ms, 100 * ms, 50 * ms},
        Row{8192 * 1'000'000'000LL / 44'100, 557'278'911, 2'229'115'644, 557'278'911}}) {
    const std::int64_t p = row.period;
    SCOPED_TRACE(testing::Message() << "period " << p << " ns");
    EXPECT_FALSE(r::late(false, p + p / 2, 2 * p + p / 2, p));
    EXPECT_TRUE(r::late(false, p + p / 2 + 1, 0, p)) << "our callback woke over half a period late";
    EXPECT_TRUE(r::late(false, p, 2 * p + p / 2 + 1, p)) << "the last woke late, then a stop";
    EXPECT_TRUE(r::late(true, p, 0, p)) << "the server skipped frames";
    EXPECT_TRUE(r::backToBack(true, p, p, 0, p)) << "began before our callback had ended";
    EXPECT_TRUE(r::backToBack(false, p / 4 - 1, p, 0, p)) << "the server's clock set back";
    EXPECT_TRUE(r::backToBack(false, p, p / 4 - 1, p, p)) << "caught up a period behind";
    EXPECT_FALSE(r::backToBack(false, p, p / 4 - 1, p - 1, p)) << "a wake-up late, within a period";
    EXPECT_EQ(r::behindAfter(p, p / 4 - 1, p), p + p / 4 - 1 - p);
    EXPECT_EQ(r::behindAfter(p, p, p), 0) << "in step again";
    EXPECT_EQ(r::doubtWindow(p), row.doubt);
    EXPECT_EQ(r::staleAfter(p), row.stale);
    EXPECT_FALSE(r::stale(row.stale, p));
    EXPECT_TRUE(r::stale(row.stale + 1, p));
    EXPECT_FALSE(r::stall(row.outputStall, p, r::kOutputStallNs));
    EXPECT_TRUE(r::stall(row.outputStall + 1, p, r::kOutputStallNs));
    JackCycle c{256, false, 0, p, p};
    EXPECT_EQ(r::cyclesToLetPass(c), 0);
    c.late = true;
    EXPECT_EQ(r::cyclesToLetPass(c), 1) << "a hiccup lets its own cycle pass";
    c.gapNs = row.outputStall + 1;
    EXPECT_EQ(r::cyclesToLetPass(c), r::kCyclesLetPass) << "a stall";
    c = {256, false, 0, p, p, false, true};
    EXPECT_EQ(r::cyclesToLetPass(c), r::kCyclesLetPass) << "back to back";
    c.freewheel = true;
    EXPECT_EQ(r::cyclesToLetPass(c), 0) << "in freewheel every cycle is read";
  }
  for (const jack_nframes_t frames : {16u, 256u, 8192u}) {
    EXPECT_EQ(r::beat(2 * frames, 2 * frames, frames), 2 * frames) << "the same skip twice: a beat";
    EXPECT_EQ(r::beat(2 * frames, 3 * frames, frames), frames)
        << "a skip unlike the last: a hiccup";
    EXPECT_EQ(r::beat(frames, frames, frames), frames);
  }
  // Our client starved: fewer than one of our cycles in four of the server's, over four at the
  // least (never run, or nearly); never a short window, nor a client run in most cycles.
  EXPECT_TRUE(r::starved(4, 0));
  EXPECT_TRUE(r::starved(200, 49));
  EXPECT_FALSE(r::starved(200, 50));
  EXPECT_FALSE(r::starved(187, 133)) << "jackd 1.9.22 after a restart: left to the xruns";
  EXPECT_FALSE(r::starved(3, 0));
  // As measured: a client never woken against a slow peer (256 and 4,096 frames); with gaps in
  // our cycles, our own client woken late against a server stopped every 200 ms.
  EXPECT_TRUE(r::wakeUpLost(113, 187, 187, false));
  EXPECT_TRUE(r::wakeUpLost(10, 12, 12, false));
  EXPECT_FALSE(r::wakeUpLost(19, 346, 346, false));
  // At 16 frames and 96 kHz: a peer stuck in its callback, and a busy machine (two busy loops).
  EXPECT_TRUE(r::wakeUpLost(3727, 5851, 5851, false));
  EXPECT_FALSE(r::wakeUpLost(69, 5964, 6000, false)) << "a busy machine at a short period";
  EXPECT_TRUE(r::wakeUpLost(131, 168, 187, true));
  EXPECT_FALSE(r::wakeUpLost(31, 722, 734, true));
}

TEST(SinkLife, SleepsWakesAndLooksForTheServerOnlyAfterItWent) {
  using S = SinkState;
  using E = SinkEvent;
  const S to[4][5] = {
      // Accepted     Message      Quiet        Gone     Retry
      {S::Asleep, S::Connecting, S::Connecting, S::Lost, S::Connecting},  // from Connecting
      {S::Asleep, S::Running, S::Asleep, S::Lost, S::Asleep},             // from Asleep
      {S::Running, S::Running, S::Asleep, S::Lost, S::Running},           // from Running
      {S::Asleep, S::Lost, S::Lost, S::Lost, S::Connecting},              // from Lost
  };
  for (S from : {S::Connecting, S::Asleep, S::Running, S::Lost})
    for (E event : {E::Accepted, E::Message, E::Quiet, E::Gone, E::Retry})
      EXPECT_EQ(nextSinkState(from, event), to[int(from)][int(event)])
          << int(from) << " + " << int(event);
}

// The JACK server goes while a message is on its way into the synthesizer: the message lands
// before the sounds are switched off, never after (its note would hang, its Note Off refused).
TEST(SinkLife, AJackServerThatGoesSwitchesOffWhatAMessageOnItsWayPlayed) {
  std::promise<void> lost;
  AudioClient client;
  client.user = &lost;
  client.lost = [](void* user) { static_cast<std::promise<void>*>(user)->set_value(); };
  JackSink::Link link(client, std::chrono::seconds(5));
  link.state.store(SinkState::Asleep);
  std::thread server;
  EXPECT_TRUE(link.play([&] {
    server = std::thread([&] { link.detach(nullptr, JackEndpoint::Detach::ServerGone); });
    EXPECT_EQ(lost.get_future().wait_for(std::chrono::milliseconds(100)),
              std::future_status::timeout)
        << "the sounds were switched off before the message had landed";
  }));
  server.join();
  EXPECT_FALSE(link.play([] { ADD_FAILURE() << "a message reached a sink whose server went"; }));
  // A renewal takes the ports with the old client, on a live server: the synthesizer plays on.
  bool switchedOff = false;
  AudioClient renewedClient;
  renewedClient.user = &switchedOff;
  renewedClient.lost = [](void* user) { *static_cast<bool*>(user) = true; };
  JackSink::Link renewed(renewedClient, std::chrono::seconds(5));
  renewed.state.store(SinkState::Asleep);
  renewed.detach(nullptr, JackEndpoint::Detach::Renewal);
  EXPECT_FALSE(switchedOff) << "a renewal switched the voices off as if the server had gone";
  EXPECT_TRUE(renewed.play([] {})) << "a message during a renewal was refused";
}

// A server that accepts the connection and never answers, as a hung one does: the open returns
// at its deadline, and the stream it hands back goes on waiting.
TEST(SinkLife, AServerThatNeverAnswersLeavesTheStreamConnectingAtTheDeadline) {
  const fs::path dir = fs::temp_directory_path() / ("tamrels-hung-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const fs::path path = dir / "socket";
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 8), 0);
  setenv("PULSE_SERVER", ("unix:" + path.string()).c_str(), 1);
  setenv("PIPEWIRE_REMOTE", path.c_str(), 1);
  const AudioClient client{};
  const auto deadline = std::chrono::milliseconds(100);
  std::unique_ptr<PulseStream> pulse;
  EXPECT_EQ(PulseStream::open({}, client, deadline, pulse), MMSYSERR_NODRIVER);
  ASSERT_TRUE(pulse);
  EXPECT_EQ(pulse->state(), SinkState::Connecting);
  EXPECT_FALSE(pulse->play([] { ADD_FAILURE() << "a message reached a stream with no server"; }));
  std::unique_ptr<PipeWireStream> pipeWire;
  EXPECT_EQ(PipeWireStream::open({}, client, deadline, pipeWire), MMSYSERR_NODRIVER);
  ASSERT_TRUE(pipeWire);
  EXPECT_EQ(pipeWire->state(), SinkState::Connecting);
  pulse.reset();  // and neither waits for the server to go
  pipeWire.reset();
  unsetenv("PULSE_SERVER");
  unsetenv("PIPEWIRE_REMOTE");
  close(listener);
  fs::remove_all(dir);
}

// An engine that counts the renders inside it at once; its one step off stands for a call into
// FluidSynth's API, which its own lock keeps apart from a render. A call can be told to stall
// there until let go (a block that never ends), or a render to end its thread there as a
// cancelled one does.
struct GateEngine {
  enum class Next { Block, Stall, EndThread };
  std::atomic<int> inside{0}, overlaps{0}, renders{0}, silenced{0};
  std::atomic<Next> next{Next::Block};
  std::atomic<int> lostWaitMs{0};  // as FluidSynth's lock does while a font loads
  std::atomic<bool> stalled{false};
  std::mutex mutex;
  std::condition_variable wake;
  bool release = false;

  void visit(std::atomic<int>& calls, bool render) {
    if (render && inside.fetch_add(1) != 0) overlaps.fetch_add(1);
    if (next.load() == Next::Stall) {
      std::unique_lock lock(mutex);
      stalled.store(true);
      wake.wait_for(lock, std::chrono::seconds(2), [this] { return release; });
      release = false;
      stalled.store(false);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(50));
    calls.fetch_add(1);
    if (render) inside.fetch_sub(1);
  }
  void awaitStall() {  // and lets the next calls through
    while (!stalled.load()) std::this_thread::yield();
    next.store(Next::Block);
  }
  void letGo() {
    std::lock_guard lock(mutex);
    release = true;
    wake.notify_all();
  }
  RenderGate::Engine client() {
    RenderGate::Engine c;
    c.user = this;
    c.render = [](void* user, float* left, float* right, int step, std::size_t frames) {
      auto* e = static_cast<GateEngine*>(user);
      for (std::size_t i = 0; i < frames; ++i) left[i * step] = right[i * step] = 0.5f;
      if (e->next.load() == Next::EndThread) {
        e->next.store(Next::Block);
        pthread_exit(nullptr);
      }
      e->visit(e->renders, true);
    };
    c.off = {[](void* user) {
      auto* e = static_cast<GateEngine*>(user);
      std::this_thread::sleep_for(std::chrono::milliseconds(e->lostWaitMs.load()));
      e->visit(e->silenced, false);
    }};
    return c;
  }
};

// Two seats, a and b, of one gate over a GateEngine.
class RenderGateSeats : public ::testing::Test {
 protected:
  GateEngine engine;
  std::shared_ptr<RenderGate> gate = RenderGate::make(engine.client());
  RenderGate::SeatId a = 0, b = 0;
  const AudioClient seatA = gate->seat(a), seatB = gate->seat(b);
  float buffer[2 * 64] = {};
};

// Sinks on seats of one gate: only the seat in use renders the engine or switches its sounds
// off, and never two threads at once, however often the seat in use changes under them.
TEST_F(RenderGateSeats, OnlyTheSeatInUseTouchesTheEngineAndOneThreadAtATime) {
  std::fill(std::begin(buffer), std::end(buffer), 1.0f);
  gate->use(a);
  seatB.render(seatB.user, buffer, buffer + 1, 2, 64);  // waiting: silence, engine untouched
  seatB.lost(seatB.user);
  EXPECT_EQ(buffer[0], 0.0f);
  EXPECT_FALSE(seatB.sounding(seatB.user));
  EXPECT_EQ(engine.renders.load() + engine.silenced.load(), 0);
  seatA.render(seatA.user, buffer, buffer + 1, 2, 64);
  EXPECT_EQ(buffer[0], 0.5f);
  EXPECT_TRUE(seatA.sounding(seatA.user));  // told by the render itself
  seatA.lost(seatA.user);
  EXPECT_EQ(engine.silenced.load(), 1);
  // A server that goes as the seat changes (a take-back, a close that then frees the engine):
  // the change waits until its sounds are off.
  for (const RenderGate::SeatId next : {b, RenderGate::kNobody}) {
    gate->use(a);
    const int silenced = engine.silenced.load();
    engine.next.store(GateEngine::Next::Stall);
    std::thread server([&] { seatA.lost(seatA.user); });
    engine.awaitStall();
    std::thread releaser([&] {
      while (gate->inUse() == a) std::this_thread::yield();
      engine.letGo();
    });
    gate->use(next);
    EXPECT_EQ(engine.silenced.load(), silenced + 1) << "the seat changed with a lost one inside";
    server.join();
    releaser.join();
  }

  std::atomic<bool> stop{false};
  auto audioThread = [&](const AudioClient& seat) {
    float block[2 * 64];
    while (!stop.load()) seat.render(seat.user, block, block + 1, 2, 64);
  };
  std::thread first(audioThread, seatA), second(audioThread, seatB);
  for (int i = 0; i < 2000; ++i) gate->use(i % 2 ? a : b);
  gate->use(RenderGate::kNobody);
  const int rendered = engine.renders.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(engine.renders.load(), rendered) << "a seat rendered after the gate closed";
  stop.store(true);
  first.join();
  second.join();
  EXPECT_EQ(engine.overlaps.load(), 0);
}

// A lost that waits long for the engine (FluidSynth's lock, held through a whole font load) is
// not taken for one that hangs: the seat that takes over never renders beside it.
TEST_F(RenderGateSeats, ALostThatWaitsLongForTheEngineNeverRendersBesideTheNextSeat) {
  gate->use(a);
  engine.lostWaitMs.store(500);
  std::thread server([&] { seatA.lost(seatA.user); });
  std::atomic<bool> stop{false};
  std::thread audio([&] {
    float block[2 * 64];
    while (!stop.load()) seatB.render(seatB.user, block, block + 1, 2, 64);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  gate->use(b);
  server.join();
  stop.store(true);
  audio.join();
  EXPECT_EQ(engine.silenced.load(), 1);
  EXPECT_EQ(engine.overlaps.load(), 0);
}

// A render that never leaves the engine holds no seat for good: the seat in use changes all the
// same, and the new seat still switches the sounds off when its server goes. One cut off inside
// the engine (its thread cancelled) gives the engine back at once.
TEST_F(RenderGateSeats, ARenderStuckOrCutOffInsideTheEngineLocksNoSeatOut) {
  gate->use(b);
  engine.next.store(GateEngine::Next::Stall);
  std::thread stuck([&] {
    float block[2 * 64];
    seatB.render(seatB.user, block, block + 1, 2, 64);
  });
  engine.awaitStall();
  std::thread taking([&] { gate->use(a); });
  while (gate->inUse() != a) std::this_thread::yield();
  seatA.lost(seatA.user);  // b is on its way out, never to come: a waits, then takes over
  EXPECT_EQ(engine.silenced.load(), 1) << "the sounds were left on for the next server";
  taking.join();
  EXPECT_TRUE(engine.stalled.load()) << "the seat changed only once the stuck render left";
  engine.letGo();
  stuck.join();

  gate->use(a);
  engine.next.store(GateEngine::Next::EndThread);
  pthread_t audio;
  ASSERT_EQ(pthread_create(
                &audio, nullptr,
                [](void* seat) -> void* {
                  const auto& client = *static_cast<const AudioClient*>(seat);
                  float block[2 * 64];
                  client.render(client.user, block, block + 1, 2, 64);
                  return nullptr;
                },
                const_cast<AudioClient*>(&seatA)),
            0);
  pthread_join(audio, nullptr);
  std::fill(std::begin(buffer), std::end(buffer), 1.0f);
  seatA.render(seatA.user, buffer, buffer + 1, 2, 64);
  ASSERT_EQ(buffer[0], 0.5f) << "the seat in use renders silence for good";
  gate->use(RenderGate::kNobody);
  gate->use(b);
  seatB.render(seatB.user, buffer, buffer + 1, 2, 64);
  EXPECT_EQ(buffer[0], 0.5f);
}

TEST(AlsaEvents, ChannelMessagesBecomeDirectEventsWithSevenBitData) {
  struct Row {
    std::uint32_t message;
    snd_seq_event_type_t type;
    unsigned char channel;
    int data1;  // note, parameter or (program and pressure) value
    int data2;  // velocity or value
  };
  const Row table[] = {
      {0x007F3C90, SND_SEQ_EVENT_NOTEON, 0, 60, 127},
      {0x00FFBC9F, SND_SEQ_EVENT_NOTEON, 15, 60, 127},  // data bytes are seven bits
      {0x00003C8F, SND_SEQ_EVENT_NOTEOFF, 15, 60, 0},
      {0x00400AA1, SND_SEQ_EVENT_KEYPRESS, 1, 10, 64},
      {0x007B07B2, SND_SEQ_EVENT_CONTROLLER, 2, 7, 123},
      {0x000005C3, SND_SEQ_EVENT_PGMCHANGE, 3, 0, 5},
      {0x00007FD4, SND_SEQ_EVENT_CHANPRESS, 4, 0, 127},
      {0x004000E5, SND_SEQ_EVENT_PITCHBEND, 5, 0, 0},  // the middle
      {0x007F7FE5, SND_SEQ_EVENT_PITCHBEND, 5, 0, 8191},
  };
  for (const Row& r : table) {
    snd_seq_event_t ev;
    ASSERT_TRUE(toSequencerEvent(r.message, 3, ev)) << std::hex << r.message;
    EXPECT_EQ(ev.type, r.type) << std::hex << r.message;
    EXPECT_EQ(ev.source.port, 3);
    EXPECT_EQ(ev.dest.client, SND_SEQ_ADDRESS_SUBSCRIBERS);
    EXPECT_EQ(ev.queue, SND_SEQ_QUEUE_DIRECT);
    if (r.type == SND_SEQ_EVENT_NOTEON || r.type == SND_SEQ_EVENT_NOTEOFF ||
        r.type == SND_SEQ_EVENT_KEYPRESS) {
      EXPECT_EQ(ev.data.note.channel, r.channel);
      EXPECT_EQ(ev.data.note.note, r.data1);
      EXPECT_EQ(ev.data.note.velocity, r.data2) << std::hex << r.message;
    } else {
      EXPECT_EQ(ev.data.control.channel, r.channel);
      EXPECT_EQ(int(ev.data.control.param), r.data1);
      EXPECT_EQ(ev.data.control.value, r.data2) << std::hex << r.message;
    }
  }
  snd_seq_event_t ev;
  EXPECT_FALSE(toSequencerEvent(0x000000F8, 0, ev));  // not a channel message
}

TEST(AlsaSessionLife, ASignalOrLostAnnouncementsKeepTheClientOnlyAFailedReadEndsIt) {
  using S = AlsaSession::State;
  using E = AlsaSession::Event;
  EXPECT_EQ(AlsaSession::next(S::Open, E::Interrupted), S::Open);
  EXPECT_EQ(AlsaSession::next(S::Open, E::Overran), S::Open);
  EXPECT_EQ(AlsaSession::next(S::Open, E::ReadFailed), S::Gone);
  EXPECT_EQ(AlsaSession::next(S::Gone, E::Interrupted), S::Gone);
}

TEST(SystemService, DevicesAndCapabilities) {
  SystemMidiService service(
      SynthConfig{}, {{PortApi::Jack, "a:in", "a:in"}, {PortApi::Alsa, "X:Port 1 20:0", "Port 1"}});
  EXPECT_EQ(service.midiOutGetNumDevs(), 2u);
  MidiOutCaps caps;
  EXPECT_EQ(service.midiOutGetDevCapsA(1, caps, sizeof caps), MMSYSERR_NOERROR);
  EXPECT_STREQ(caps.szPname, "Port 1");
  EXPECT_EQ(caps.wTechnology, MOD_MIDIPORT);
  EXPECT_EQ(service.midiOutGetDevCapsA(-1, caps, sizeof caps), MMSYSERR_NOERROR);
  EXPECT_STREQ(caps.szPname, "MIDI Mapper");
  EXPECT_EQ(service.midiOutGetDevCapsA(2, caps, sizeof caps), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(service.midiOutGetDevCapsA(-2, caps, sizeof caps), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(service.midiOutGetDevCapsA(0, caps, 12), MMSYSERR_INVALPARAM);
  // Without a sequencer session an ALSA port cannot be reached: no driver.
  MidiOutHandle h = 0;
  EXPECT_EQ(service.midiOutOpen(h, 1, 0, 0, 0), MMSYSERR_NODRIVER);
  EXPECT_EQ(h, 0u);
}

TEST(SystemService, RefusesWhatItCannotDo) {
  SystemMidiService service(SynthConfig{}, {});
  MidiOutHandle h = 1234;
  EXPECT_EQ(service.midiOutOpen(h, 0, 0, 0, 0), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(h, 0u);
  EXPECT_EQ(service.midiOutOpen(h, -1, 0x1234, 0, 0), MMSYSERR_INVALPARAM);  // no callbacks
  for (MidiOutHandle dead : {0u, 1u, 4097u, 0xFFFFFFFFu}) {
    EXPECT_EQ(service.midiOutShortMsg(dead, 0x007F3C90), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(service.midiOutClose(dead), MMSYSERR_INVALHANDLE);
  }
}

class SoundFonts : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() /
          ("tamrels-sf-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir / "empty");
    fs::create_directories(dir / "fonts");
  }
  void TearDown() override { fs::remove_all(dir); }
  void touch(const fs::path& p) { std::ofstream(p) << "x"; }
  // A synthesizer that looks for fonts in folder and writes its sound to a file.
  SynthConfig fontsIn(const char* folder) {
    SynthConfig config;
    config.soundFontSearch = {(dir / folder).string()};
    config.audioDrivers = {"file"};
    return config;
  }
  // A file whose header FluidSynth takes for a SoundFont; its body is no font.
  void header(const fs::path& p) {
    std::ofstream(p, std::ios::binary)
        << std::string("RIFF\x10\0\0\0sfbk", 12) << std::string(64, 'x');
  }
  fs::path dir;
};

TEST_F(SoundFonts, SearchTakesTheFirstEntryThatHasAFont) {
  header(dir / "fonts" / "b.sf3");
  header(dir / "fonts" / "a.sf2");
  touch(dir / "fonts" / "0-not-a-font.sf2");  // fails the header check, so it is passed over
  touch(dir / "fonts" / "notes.txt");
  fs::create_symlink(dir / "missing.sf2", dir / "dangling.sf2");
  EXPECT_EQ(findSoundFont({(dir / "dangling.sf2").string(), (dir / "empty").string(),
                           (dir / "fonts").string()}),
            (dir / "fonts" / "a.sf2").string());
  EXPECT_EQ(findSoundFont({(dir / "fonts" / "b.sf3").string(), (dir / "fonts").string()}),
            (dir / "fonts" / "b.sf3").string());
  EXPECT_EQ(findSoundFont({(dir / "empty").string(), "/nonexistent/x.sf2"}), "");
}

TEST_F(SoundFonts, MapperWithoutASoundFontFailsWithItsCode) {
  SystemMidiService service(fontsIn("empty"), {});
  MidiOutHandle h = 77;
  EXPECT_EQ(service.midiOutOpen(h, MIDI_MAPPER, 0, 0, 0), MIDIERR_NODEVICE);
  EXPECT_EQ(h, 0u);
}

TEST_F(SoundFonts, ABrokenFontFailsLikeNoFont) {
  touch(dir / "fonts" / "broken.sf2");
  SystemMidiService service(fontsIn("fonts"), {});
  MidiOutHandle h = 0;
  EXPECT_EQ(service.midiOutOpen(h, MIDI_MAPPER, 0, 0, 0), MIDIERR_NODEVICE);
}

TEST_F(SoundFonts, AFontThatFailsToLoadAfterTheOpenIsReportedOnceAndFailsLaterSends) {
  header(dir / "fonts" / "bad.sf2");
  SystemMidiService service(fontsIn("fonts"), {});
  std::mutex mutex;
  std::vector<std::pair<MidiOutHandle, ResultCode>> reported;
  service.setLateFailureHandler([&](MidiOutHandle h, ResultCode rc) {
    std::lock_guard lock(mutex);
    reported.emplace_back(h, rc);
  });
  MidiOutHandle h = 0;
  ASSERT_EQ(service.midiOutOpen(h, MIDI_MAPPER, 0, 0, 0), MMSYSERR_NOERROR);
  ResultCode rc = MMSYSERR_NOERROR;
  for (int i = 0; i < 200 && rc == MMSYSERR_NOERROR; ++i) {
    rc = service.midiOutShortMsg(h, 0x007F3C90);  // queued while the font loads
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(rc, MIDIERR_NODEVICE);
  std::lock_guard lock(mutex);
  EXPECT_EQ(reported, (std::vector<std::pair<MidiOutHandle, ResultCode>>{{h, MIDIERR_NODEVICE}}));
  fs::remove("fluidsynth.wav");
}

// The service may go while a closed Mapper's font still loads (the closing is left behind after
// a while); the load's failure then reaches nothing of the service.
TEST_F(SoundFonts, AFontThatFailsAfterTheServiceHasGoneReachesNothingOfIt) {
  // FluidSynth walks its list of INFO items to append each one: 60,000 of them take seconds.
  std::string info = "INFO";
  for (int i = 0; i < 60000; ++i) info += std::string("INAM\2\0\0\0ab", 10);
  auto chunk = [](const char* id, const std::string& data) {
    const auto size = static_cast<std::uint32_t>(data.size());
    return id + std::string(reinterpret_cast<const char*>(&size), 4) + data;
  };
  std::ofstream(dir / "fonts" / "slow.sf2", std::ios::binary)
      << chunk("RIFF", "sfbk" + chunk("LIST", info));  // and no samples: the load fails
  auto threads = [] {
    std::set<std::string> ids;
    for (const auto& task : fs::directory_iterator("/proc/self/task"))
      ids.insert(task.path().filename());
    return ids;
  };
  const std::set<std::string> before = threads();
  std::atomic<bool> gone{false};
  std::atomic<int> reportedAfter{0};
  auto service = std::make_unique<SystemMidiService>(fontsIn("fonts"), std::vector<PortInfo>{});
  service->setLateFailureHandler([&](MidiOutHandle, ResultCode) { reportedAfter += gone; });
  MidiOutHandle h = 0;
  ASSERT_EQ(service->midiOutOpen(h, MIDI_MAPPER, 0, 0, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(service->midiOutClose(h), MMSYSERR_NOERROR);
  service.reset();
  gone.store(true);
  // Every thread started since ends, the load's among them.
  for (int i = 0; i < 3000 && !std::ranges::includes(before, threads()); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(reportedAfter.load(), 0);
  fs::remove("fluidsynth.wav");
}

TEST(Synth, NoAudioOutputFailsWithNoDriver) {
  SynthConfig config = SynthConfig::defaults();
  config.audioDrivers = {"no-such-driver"};
  SystemMidiService service(config, {});
  MidiOutHandle h = 0;
  if (findSoundFont(config.soundFontSearch).empty()) GTEST_SKIP() << "no GM SoundFont installed";
  EXPECT_EQ(service.midiOutOpen(h, MIDI_MAPPER, 0, 0, 0), MMSYSERR_NODRIVER);
}

TEST(Synth, OpensPlaysAndRefusesASecondOpen) {
  // FluidSynth's "file" driver writes to a file: a real synthesizer with no sound server.
  SynthConfig config = SynthConfig::defaults();
  if (findSoundFont(config.soundFontSearch).empty()) GTEST_SKIP() << "no GM SoundFont installed";
  const fs::path wav = fs::temp_directory_path() / "tamrels-synth-test.wav";
  config.audioDrivers = {"file"};
  SystemMidiService service(config, {});
  MidiOutHandle h = 0;
  ASSERT_EQ(service.midiOutOpen(h, MIDI_MAPPER, 0, 0, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(service.synthFor(h)->audioDriver(), "file");
  EXPECT_EQ(service.midiOutShortMsg(h, 0x007F3C90), MMSYSERR_NOERROR);
  EXPECT_EQ(service.midiOutShortMsg(h, 0x00003C80), MMSYSERR_NOERROR);
  EXPECT_EQ(service.midiOutShortMsg(h, 0x00003C80), MMSYSERR_NOERROR);  // a second Note Off is fine
  EXPECT_EQ(service.midiOutShortMsg(h, 0x00003C90), MMSYSERR_NOERROR);  // velocity 0: a Note Off
  EXPECT_EQ(service.midiOutShortMsg(h, 0x000000F8), MMSYSERR_INVALPARAM);
  MidiOutHandle second = 0;
  EXPECT_EQ(service.midiOutOpen(second, MIDI_MAPPER, 0, 0, 0), MMSYSERR_ALLOCATED);
  EXPECT_EQ(service.midiOutClose(h), MMSYSERR_NOERROR);
  EXPECT_EQ(service.midiOutShortMsg(h, 0x007F3C90), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(service.midiOutClose(h), MMSYSERR_INVALHANDLE);
  fs::remove("fluidsynth.wav");
}

TEST(Synth, AudioStreamSleepsWhileIdleAndWakesForTheNextNote) {
  SynthConfig config = SynthConfig::defaults();
  if (findSoundFont(config.soundFontSearch).empty()) GTEST_SKIP() << "no GM SoundFont installed";
  config.audioDrivers = {"file"};
  config.idleSuspend = std::chrono::milliseconds(50);
  std::unique_ptr<SynthOutput> synth;
  ASSERT_EQ(SynthOutput::open(config, synth), MMSYSERR_NOERROR);
  auto eventually = [&](bool running) {
    for (int i = 0; i < 500 && synth->audioRunning() != running; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return synth->audioRunning() == running;
  };
  EXPECT_TRUE(eventually(false)) << "nothing played: the stream should be suspended";
  EXPECT_EQ(synth->send(0x007F3C90), MMSYSERR_NOERROR);
  EXPECT_TRUE(eventually(true)) << "the note resumes the stream";
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(synth->audioRunning()) << "a held note keeps the stream running";
  EXPECT_EQ(synth->send(0x00003C80), MMSYSERR_NOERROR);
  EXPECT_TRUE(eventually(false)) << "after the release rings out the stream sleeps again";
  // Messages racing with a suspension neither crash nor lose the stream for good.
  for (int i = 0; i < 60; ++i) {
    synth->send(0x00003C80);
    std::this_thread::sleep_for(std::chrono::milliseconds(i % 7 * 15));
  }
  EXPECT_EQ(synth->send(0x007F3C90), MMSYSERR_NOERROR);
  EXPECT_TRUE(eventually(true));
  synth.reset();
  fs::remove("fluidsynth.wav");
}

}  // namespace
