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
#include "midi/midi_service.h"
#include "midi/synth/render_gate.h"
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

  // Finds the SoundFont and tries the config's sinks in order, each for at most the config's
  // server deadline and all of them together for about the chain deadline; the first accepted
  // wins. A server that does not answer in time is not given up: its sink goes on connecting,
  // and once it accepts it is taken in place of the one in use as soon as nothing sounds. When
  // no sink was accepted in time but one still waits for its server, the output opens all the
  // same and sounds once a server answers (messages meanwhile fail with MMSYSERR_NODRIVER and
  // are dropped); MMSYSERR_NODRIVER when every server said no. The font loads on a thread of its
  // own (its samples only when first played). Messages sent meanwhile are queued in order and
  // played once it is ready, so the caller never waits for the load.
  // With loadNow false the load waits for startLoading(): the service prepares the Mapper while
  // the window builds, and the load should not take the cores from it.
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
  // The sink in use: its name in the config, or "none" while every server is still awaited.
  std::string audioDriver() const;
  // The audio buffer the synthesizer writes, in milliseconds (as the server granted it).
  double bufferMilliseconds() const;
  // Whether the sink is running now (false while asleep, or while its server is gone).
  bool audioRunning() const;

 private:
  SynthOutput() = default;
  ResultCode deliver(std::uint32_t message);
  void takeBackBetterSinks();  // the keeper's thread

  struct Seated {
    std::string name;
    RenderGate::SeatId seat = RenderGate::kNobody;
    std::unique_ptr<Sink> sink;
  };
  // Opens the sink called name on a seat of its own, waiting at most deadline for its server.
  ResultCode openSeated(const std::string& name, std::chrono::milliseconds deadline, Seated& out);

  // Declared in this order so that the sinks stop before the engine goes.
  std::unique_ptr<SynthEngine> m_engine;
  std::shared_ptr<RenderGate> m_gate;  // which sink renders the engine: only the one in use
  SynthConfig m_config;
  std::shared_ptr<JackSession> m_jack;
  mutable std::mutex m_sinkMutex;  // m_current: a message and a take-back
  Seated m_current;                // the sink in use; none while every server is awaited
  std::vector<Seated> m_waiting;   // better sinks than m_current, best first; the keeper's
  std::mutex m_keeperMutex;
  std::condition_variable m_keeperWake;
  bool m_stopping = false;
  std::thread m_keeper;
};

}  // namespace midi
