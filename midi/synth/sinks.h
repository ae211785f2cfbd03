// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Where the synthesizer's sound goes: one sink per kind of sound server, opened by name from one
// table. Every sink lives the life of audio_client.h (SinkState): it sleeps when idle, wakes for
// the next message, and follows its server when it goes and comes back.

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "midi/servers/audio_client.h"
#include "midi/servers/jack_session.h"
#include "midi/midi_service.h"
#include "midi/synth/synth_config.h"

namespace midi {

class SynthEngine;

class Sink {
 public:
  virtual ~Sink() = default;
  // Hands one message to the synthesizer through apply() and wakes a sleeping sink. Returns
  // false, without calling apply(), while the server does not have the sink.
  virtual bool play(const std::function<void()>& apply) = 0;
  virtual SinkState state() const = 0;
  // The audio the synthesizer writes ahead, in milliseconds (as the server granted it).
  virtual double latencyMilliseconds() const = 0;
  // The rate the sink was opened for.
  virtual int sampleRate() const = 0;
};

// Opens the sink called name: "pipewire", "pulseaudio", "jack" (through the session; none: that
// sink is passed over) or else FluidSynth's driver of that name, playing client (a seat of the
// render gate) at the engine's rate. MMSYSERR_NOERROR once the server has accepted it;
// MMSYSERR_NODRIVER when there is no such server, or when the server did not answer by the
// deadline: then out holds the sink, still Connecting, and it goes on by itself.
ResultCode openSink(const std::string& name, SynthEngine& engine, const SynthConfig& config,
                    const AudioClient& client, std::chrono::milliseconds deadline,
                    const std::shared_ptr<JackSession>& jack, std::unique_ptr<Sink>& out);

}  // namespace midi
