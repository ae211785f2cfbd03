// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Which sink renders the synthesizer. Every sink is given a seat of its own: an AudioClient that
// renders the engine and switches its sounds off (lost) only while that seat is the one in use,
// and renders silence otherwise. A render enters the engine only holding the gate's one token,
// so one thread at a time renders (save one that stays past kAbandoned), and a sink that waits
// for its server, fails or is passed over never touches the synthesizer. A render that finds the
// token taken renders silence at once. A lost calls the engine's API without the token (that
// waits on the engine's own lock, which a font load holds throughout) and takes the token only
// for the blocks it throws away; it waits for it while its seat is in use, so that no sound is
// left on for the next server. The seat learns from its own renders whether anything sounds: a
// real-time thread asks the synthesizer nothing (its voice count takes FluidSynth's lock).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "midi/servers/audio_client.h"

namespace midi {

class RenderGate : public std::enable_shared_from_this<RenderGate> {
 public:
  using SeatId = std::uint64_t;
  static constexpr SeatId kNobody = 0;

  // The synthesizer as the gate drives it: render renders blocks; off switches every sound off
  // in steps, each a call into its API that takes effect only when the next block is rendered,
  // so the gate renders one block (kThrowAway frames) after each and throws it away.
  struct Engine {
    void* user = nullptr;
    void (*render)(void* user, float* left, float* right, int step, std::size_t frames) = nullptr;
    std::vector<void (*)(void* user)> off;
  };
  static constexpr std::size_t kThrowAway = 64;

  // The engine is used only through the seat in use.
  static std::shared_ptr<RenderGate> make(Engine engine);

  // A new seat, not in use: its client renders silence until use(id). The client keeps the
  // gate (and so the seat) alive as long as any copy of it is held, so a sink's thread that
  // outlives the synthesizer still finds its seat; it touches the engine no more once the seat
  // is out of use.
  AudioClient seat(SeatId& id);
  // Makes seat the one in use (kNobody: none); returns once no other seat's render or lost is
  // inside the engine: a block's render at most, or kAbandoned if one stays inside, and a lost's
  // call into the API, however long that waits for the engine's lock.
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
  explicit RenderGate(Engine engine) : m_engine(std::move(engine)) {}
  struct Seat;
  class Entry;
  class Call;
  // One block rendered and thrown away, holding the token, while ours() holds; false if the
  // seat went out of use first.
  template <class Ours>
  bool throwAway(SeatId seat, Ours ours);
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

  const Engine m_engine;
  std::atomic<SeatId> m_inUse{kNobody};
  std::atomic<int> m_calls{0};  // losts inside the engine's API, which hold no token
  std::atomic<Token> m_token{kFree};
  std::atomic<Token> m_entries{0};
  std::atomic<SeatId> m_nextSeat{1};
};

}  // namespace midi
