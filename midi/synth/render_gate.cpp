// SPDX-License-Identifier: GPL-3.0-or-later
#include "midi/synth/render_gate.h"

#include <chrono>
#include <cmath>
#include <thread>

namespace midi {

struct RenderGate::Seat {
  std::shared_ptr<RenderGate> gate;
  SeatId id = kNobody;
  std::atomic<bool> audible{false};  // its last render had sound in it
};

std::shared_ptr<RenderGate> RenderGate::make(const AudioClient& engine) {
  return std::shared_ptr<RenderGate>(new RenderGate(engine));
}

AudioClient RenderGate::seat(SeatId& id) {
  auto seat = std::make_shared<Seat>();
  seat->gate = shared_from_this();
  seat->id = id = m_nextSeat.fetch_add(1);
  AudioClient client;
  client.user = seat.get();
  client.keep = seat;
  client.render = render;
  client.sounding = sounding;
  client.lost = lost;
  return client;
}

void RenderGate::use(SeatId seat) {
  m_inUse.store(seat);
  // A render that entered before the change finishes its block; nothing else waits for it.
  for (SeatId inside = m_inside.load(); inside != kNobody && inside != seat;
       inside = m_inside.load())
    std::this_thread::sleep_for(std::chrono::microseconds(100));
}

// The seat takes the engine only if it is in use and no other render is inside; it checks its
// turn again once inside, since the seat in use may have changed meanwhile.
void RenderGate::render(void* user, float* left, float* right, int step, std::size_t frames) {
  auto* seat = static_cast<Seat*>(user);
  RenderGate& gate = *seat->gate;
  bool rendered = false;
  SeatId nobody = kNobody;
  if (gate.m_inUse.load() == seat->id && gate.m_inside.compare_exchange_strong(nobody, seat->id)) {
    if (gate.m_inUse.load() == seat->id) {
      gate.m_engine.render(gate.m_engine.user, left, right, step, frames);
      rendered = true;
    }
    gate.m_inside.store(kNobody);
  }
  float peak = 0.0f;
  for (std::size_t i = 0; i < frames; ++i) {
    if (!rendered) left[i * step] = right[i * step] = 0.0f;
    peak = std::fmax(peak, std::fmax(std::fabs(left[i * step]), std::fabs(right[i * step])));
  }
  seat->audible.store(peak >= kSilence, std::memory_order_relaxed);
}

bool RenderGate::sounding(void* user) {
  return static_cast<Seat*>(user)->audible.load(std::memory_order_relaxed);
}

void RenderGate::lost(void* user) {
  auto* seat = static_cast<Seat*>(user);
  seat->audible.store(false, std::memory_order_relaxed);
  const RenderGate& gate = *seat->gate;
  if (gate.m_inUse.load() == seat->id && gate.m_engine.lost) gate.m_engine.lost(gate.m_engine.user);
}

}  // namespace midi
