// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The embedded General MIDI synthesizer that stands behind the MIDI Mapper: the engine
// (FluidSynth and its SoundFont) playing into the first sink that a sound server accepts in time.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "midi/servers/jack_session.h"
#include "midi/service/midi_service.h"
#include "midi/synth/sinks.h"
#include "midi/synth/synth_config.h"
#include "midi/synth/synth_engine.h"

namespace midi {

// Sets the audio stream's media role for libpulse (PULSE_PROP_media.role). Sets the environment,
// so it must run before any other thread does; later calls do nothing.
void prepareSynthPlatform();

class SynthOutput {
 public:
  ~SynthOutput();
  SynthOutput(const SynthOutput&) = delete;
  SynthOutput& operator=(const SynthOutput&) = delete;

  // Finds the SoundFont and tries the config's sinks in order, waiting at most the config's
  // deadline for each server; the first accepted wins, MMSYSERR_NODRIVER when none is. The font
  // loads on a thread of its own (its samples only when first played). Messages sent meanwhile
  // are queued in order and played once it is ready, so the caller never waits for the load.
  // With loadNow false the load waits for startLoading(): the service prepares the Mapper while
  // the window builds, and the load should not take the cores from it.
  // A server ranked before the one in use that did not answer in time is not given up: once it
  // accepts, its sink is taken in place of the one in use as soon as nothing sounds.
  // jack: the program's JACK session, for the "jack" sink (none: that sink is passed over).
  static ResultCode open(const SynthConfig& config, std::unique_ptr<SynthOutput>& out,
                         bool loadNow = true, std::shared_ptr<JackSession> jack = nullptr);
  // Starts loading the font, once. MIDIERR_NODEVICE if no thread could be had and the load,
  // done here and now, failed.
  ResultCode startLoading() { return m_engine->startLoading(); }

  // The load's failure code for every message once the font has failed to load;
  // MMSYSERR_NODRIVER while the sink's server is gone.
  ResultCode send(std::uint32_t message);

  // Runs handler once, on the loading thread, if the font fails to load (at once if it has),
  // with MIDIERR_NODEVICE (or MMSYSERR_NOMEM when not even the synth could be made).
  void whenLoadFails(std::function<void(ResultCode)> handler);
  // "loading", "ready" or "failed".
  const char* fontState() const { return m_engine->fontState(); }

  const std::string& soundFont() const { return m_engine->soundFont(); }
  // The sink in use: its name in the config.
  std::string audioDriver() const;
  // The audio buffer the synthesizer writes, in milliseconds (as the server granted it).
  double bufferMilliseconds() const;
  // Whether the sink is running now (false while asleep, or while its server is gone).
  bool audioRunning() const;

 private:
  SynthOutput() = default;
  ResultCode deliver(std::uint32_t message);
  void takeBackBetterSinks();  // the keeper's thread

  struct Waiting {
    std::string name;
    std::unique_ptr<Sink> sink;  // Connecting to a server that had not answered in time
  };

  // Declared in this order so that the sinks stop before the engine goes.
  std::unique_ptr<SynthEngine> m_engine;
  SynthConfig m_config;
  std::shared_ptr<JackSession> m_jack;
  mutable std::mutex m_sinkMutex;  // m_sink, m_sinkName: a message and a take-back
  std::unique_ptr<Sink> m_sink;
  std::string m_sinkName;
  std::vector<Waiting> m_waiting;  // better sinks than m_sink, best first; the keeper's
  std::mutex m_keeperMutex;
  std::condition_variable m_keeperWake;
  bool m_stopping = false;
  std::thread m_keeper;
};

}  // namespace midi
