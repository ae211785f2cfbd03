// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Which sink renders the synthesizer. Every sink is given a seat of its own: an AudioClient that
// renders the engine only while that seat is the one in use, and silence otherwise; only one
// thread is ever inside the engine's render, so a sink that waits for its server, fails or is
// passed over never touches the synthesizer, nor switches its sounds off. The seat learns from
// its own renders whether anything sounds: a real-time thread asks the synthesizer nothing (its
// voice count takes FluidSynth's lock).

#include <atomic>
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
  // Makes seat the one in use (kNobody: none); returns once no other seat's render is inside the
  // engine, a block's render at most.
  void use(SeatId seat);
  SeatId inUse() const { return m_inUse.load(); }

  // A block whose peak stays below this (-80 dBFS) is silence: a tail that has rung out.
  static constexpr float kSilence = 1e-4f;

 private:
  explicit RenderGate(const AudioClient& engine) : m_engine(engine) {}
  struct Seat;
  static void render(void* seat, float* left, float* right, int step, std::size_t frames);
  static bool sounding(void* seat);
  static void lost(void* seat);

  const AudioClient m_engine;
  std::atomic<SeatId> m_inUse{kNobody};
  std::atomic<SeatId> m_inside{kNobody};  // the seat whose render is inside the engine now
  std::atomic<SeatId> m_nextSeat{1};
};

}  // namespace midi
