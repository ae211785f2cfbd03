// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Which sink renders the synthesizer. Every sink is given a seat of its own: an AudioClient that
// renders the engine and switches its sounds off (lost) only while that seat is the one in use,
// and renders silence otherwise. A render or a lost enters the engine only holding the gate's
// one token, so one thread at a time is inside (save one that stays past kAbandoned), and a sink
// that waits for its server, fails or is passed over never touches the synthesizer. A render
// that finds the token taken renders silence at once; a lost waits for it while its seat is in
// use, so that no sound is left on for the next server. The seat learns from its own renders
// whether anything sounds: a real-time thread asks the synthesizer nothing (its voice count
// takes FluidSynth's lock).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

#include "midi/servers/audio_client.h"

namespace midi {

class RenderGate : public std::enable_shared_from_this<RenderGate> {
 public:
  using SeatId = std::uint64_t;
  static constexpr SeatId kNobody = 0;

  // engine renders the synthesizer and switches its sounds off (lost); it is used only through
  // the seat in use.
  static std::shared_ptr<RenderGate> make(const AudioClient& engine);

  // A new seat, not in use: its client renders silence until use(id). The client keeps the
  // gate (and so the seat) alive as long as any copy of it is held, so a sink's thread that
  // outlives the synthesizer still finds its seat; it touches the engine no more once the seat
  // is out of use.
  AudioClient seat(SeatId& id);
  // Makes seat the one in use (kNobody: none); returns once no other seat's render or lost is
  // inside the engine: a block's render at most, or kAbandoned if one stays inside.
  void use(SeatId seat);
  SeatId inUse() const { return m_inUse.load(); }

  // A block whose peak stays below this (-80 dBFS) is silence: a tail that has rung out.
  static constexpr float kSilence = 1e-4f;
  // A token held this long by one entry was not given back: its thread left the engine without
  // unwinding or hangs in it, and a wait for it takes the token off it. A block's render takes
  // at most the block's length, 186 ms at JACK's longest (8,192 frames at 44.1 kHz); twice that
  // leaves room for a loaded machine.
  static constexpr auto kAbandoned = std::chrono::milliseconds(400);

 private:
  explicit RenderGate(const AudioClient& engine) : m_engine(engine) {}
  struct Seat;
  class Entry;
  static void render(void* seat, float* left, float* right, int step, std::size_t frames);
  static bool sounding(void* seat);
  static void lost(void* seat);
  // Waits until done(token) holds of the token; a token that stays the same for kAbandoned is
  // freed.
  template <class Done>
  void await(Done done);

  // The token: the seat inside the engine in its low 32 bits (seats count from 1, and far fewer
  // than 2^32 are ever made), the entry's number above them, so that an entry whose token was
  // taken off it gives back no other's; kFree when nobody is inside.
  using Token = std::uint64_t;
  static constexpr Token kFree = 0;
  static SeatId holder(Token token) { return token & 0xFFFFFFFFu; }

  const AudioClient m_engine;
  std::atomic<SeatId> m_inUse{kNobody};
  std::atomic<Token> m_token{kFree};
  std::atomic<Token> m_entries{0};
  std::atomic<SeatId> m_nextSeat{1};
};

}  // namespace midi
