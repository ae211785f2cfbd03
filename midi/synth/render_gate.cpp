// SPDX-License-Identifier: GPL-3.0-or-later
#include "midi/synth/render_gate.h"

#include <chrono>
#include <cmath>
#include <thread>
#include <utility>

namespace midi {

struct RenderGate::Seat {
  std::shared_ptr<RenderGate> gate;
  SeatId id = kNobody;
  std::atomic<bool> audible{false};  // its last render had sound in it
};

std::shared_ptr<RenderGate> RenderGate::make(Engine engine) {
  return std::shared_ptr<RenderGate>(new RenderGate(std::move(engine)));
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

// Holds the token for one render or lost of a seat. The destructor gives it back, also when the
// thread is cut off inside the engine: libjack cancels a process thread that overruns its close,
// and the forced unwinding runs destructors. It aborts instead at a noexcept frame, so nothing
// between a sink's callback and the engine may be noexcept.
class RenderGate::Entry {
 public:
  Entry(RenderGate& gate, SeatId seat) : m_gate(gate), m_seat(seat) {}
  ~Entry() {
    if (m_token != kFree) m_gate.m_token.compare_exchange_strong(m_token, kFree);
  }
  Entry(const Entry&) = delete;
  Entry& operator=(const Entry&) = delete;

  // Takes the token if it is free.
  bool take() {
    const Token mine = (m_gate.m_entries.fetch_add(1) + 1) << 32 | m_seat;
    Token free = kFree;
    if (!m_gate.m_token.compare_exchange_strong(free, mine)) return false;
    m_token = mine;
    return true;
  }

 private:
  RenderGate& m_gate;
  const SeatId m_seat;
  Token m_token = kFree;
};

// Counts a lost inside the engine's API, for use() to wait for. It counts itself in before it
// looks whether its seat is in use, and use() changes the seat before it looks at the count, so
// one of the two sees the other.
class RenderGate::Call {
 public:
  explicit Call(RenderGate& gate) : m_gate(gate) { m_gate.m_calls.fetch_add(1); }
  ~Call() { m_gate.m_calls.fetch_sub(1); }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

 private:
  RenderGate& m_gate;
};

template <class Done>
void RenderGate::await(Done done) {
  using Clock = std::chrono::steady_clock;
  Token seen = m_token.load();
  auto since = Clock::now();
  while (!done(seen)) {
    std::this_thread::sleep_for(std::chrono::microseconds(100));
    Token now = m_token.load();
    if (now == seen && Clock::now() - since >= kAbandoned &&
        m_token.compare_exchange_strong(now, kFree))
      now = kFree;
    if (now != seen) {
      seen = now;
      since = Clock::now();
    }
  }
}

void RenderGate::use(SeatId seat) {
  m_inUse.store(seat);
  // An entry that came before the change finishes its block; nothing else waits for it.
  await([seat](Token token) { return token == kFree || holder(token) == seat; });
  while (m_calls.load() != 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
}

// The seat takes the engine only if it is in use and the token is free: a real-time thread does
// not wait. It checks its turn again once it holds the token, since the seat in use may have
// changed meanwhile.
void RenderGate::render(void* user, float* left, float* right, int step, std::size_t frames) {
  auto* seat = static_cast<Seat*>(user);
  RenderGate& gate = *seat->gate;
  bool rendered = false;
  if (gate.m_inUse.load() == seat->id) {
    Entry entry(gate, seat->id);
    if (entry.take() && gate.m_inUse.load() == seat->id) {
      gate.m_engine.render(gate.m_engine.user, left, right, step, frames);
      rendered = true;
    }
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

template <class Ours>
bool RenderGate::throwAway(SeatId seat, Ours ours) {
  float left[kThrowAway], right[kThrowAway];
  Entry entry(*this, seat);
  while (ours()) {
    if (entry.take()) {
      if (!ours()) return false;
      m_engine.render(m_engine.user, left, right, 1, kThrowAway);
      return true;
    }
    await([&ours](Token token) { return token == kFree || !ours(); });
  }
  return false;
}

// Each step calls the engine's API without the token: the engine's own lock keeps it apart from
// a render, and may be held for a whole font load, far past kAbandoned. Unlike a render, its
// blocks wait for the token while the seat is in use: skipping them on the way out (this seat's,
// or the one's in use before) would leave the sounds on for the next server.
void RenderGate::lost(void* user) {
  auto* seat = static_cast<Seat*>(user);
  seat->audible.store(false, std::memory_order_relaxed);
  RenderGate& gate = *seat->gate;
  const auto ours = [&gate, id = seat->id] { return gate.m_inUse.load() == id; };
  for (void (*step)(void*) : gate.m_engine.off) {
    {
      Call call(gate);
      if (!ours()) return;
      step(gate.m_engine.user);
    }
    if (!gate.throwAway(seat->id, ours)) return;
  }
}

}  // namespace midi
