// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What a sound server's stream needs of the synthesizer it plays, and the one life that every
// such stream (PipeWire, PulseAudio, JACK, FluidSynth's ALSA driver) goes through.

#include <cstddef>
#include <memory>

namespace midi {

// Every call comes on the stream's own thread (render on the server's real-time one).
struct AudioClient {
  void* user = nullptr;
  // Fills frames of stereo float: frame i at left[i * step] and right[i * step] (step 2 for an
  // interleaved buffer, 1 for two planes).
  void (*render)(void* user, float* left, float* right, int step, std::size_t frames) = nullptr;
  // Whether anything still sounds; without a lock, for a real-time thread.
  bool (*sounding)(void* user) = nullptr;
  // The server has gone: switch every voice off, so nothing comes back hanging with it.
  void (*lost)(void* user) = nullptr;
  // Keeps user alive as long as any copy of the client is held (or nothing, when user outlives
  // every stream by itself).
  std::shared_ptr<void> keep;
};

// Connecting: the server has not yet accepted the stream. Asleep: accepted and idle, no CPU; the
// next message wakes it. Running: the server pulls audio. Lost: the server has gone; a retry is
// due, and messages fail until the server accepts a stream again.
enum class SinkState { Connecting, Asleep, Running, Lost };

enum class SinkEvent {
  Accepted,  // the server took the stream (a new one after a retry too)
  Message,   // a message came for the synthesizer
  Quiet,     // nothing has sounded for the idle time
  Gone,      // the connection or the stream failed
  Retry,     // the retry timer made a new connection
};

constexpr SinkState nextSinkState(SinkState now, SinkEvent event) {
  switch (event) {
    case SinkEvent::Accepted: return now == SinkState::Running ? now : SinkState::Asleep;
    case SinkEvent::Message: return now == SinkState::Asleep ? SinkState::Running : now;
    case SinkEvent::Quiet: return now == SinkState::Running ? SinkState::Asleep : now;
    case SinkEvent::Gone: return SinkState::Lost;
    case SinkEvent::Retry: return now == SinkState::Lost ? SinkState::Connecting : now;
  }
  return now;
}

}  // namespace midi
