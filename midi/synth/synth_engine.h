// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The synthesizer itself, apart from where its sound goes: FluidSynth's settings and synth, the
// SoundFont and its load on a thread of its own, and the messages that come while it loads.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "midi/midi_service.h"
#include "midi/synth/render_gate.h"

struct _fluid_hashtable_t;
struct _fluid_synth_t;

namespace midi {

// The first SoundFont that the search finds and whose header FluidSynth accepts, or an empty
// string.
std::string findSoundFont(const std::vector<std::string>& search);

class SynthEngine {
 public:
  // MMSYSERR_NODRIVER without FluidSynth, MIDIERR_NODEVICE without a SoundFont.
  static ResultCode make(const std::vector<std::string>& soundFontSearch, int sampleRate,
                         double gain, std::unique_ptr<SynthEngine>& out);
  ~SynthEngine();  // waits for a load under way: a load cannot be cut short
  SynthEngine(const SynthEngine&) = delete;
  SynthEngine& operator=(const SynthEngine&) = delete;

  _fluid_hashtable_t* settings() const { return m_settings.get(); }
  // The synth, made now if it is not yet (FluidSynth's own drivers need it at once; the others
  // get it with the font). nullptr when it cannot be made.
  _fluid_synth_t* synth();
  // The rate the synth renders at; a sink whose server sets the rate changes it before the
  // synth is made.
  int sampleRate() const;
  void setSampleRate(int rate);
  // What the render gate calls to render and to silence everything (whether anything sounds,
  // each seat learns from its own renders).
  RenderGate::Engine gateEngine();

  // Starts loading the font, once. MIDIERR_NODEVICE if no thread could be had and the load,
  // done here and now, failed.
  ResultCode startLoading();
  void waitForLoad() {
    if (m_loader.joinable()) m_loader.join();
  }
  // Queues the message while the font loads; the load's failure code once it has failed;
  // otherwise MMSYSERR_NOERROR and deliver(message) is for the caller to do.
  ResultCode admit(std::uint32_t message, bool& deliverNow);
  // Applies one message to the synth.
  ResultCode applyMessage(std::uint32_t message);
  // Where messages queued during the load go once it succeeds (to a sink, through the caller).
  void setDeliver(std::function<void(std::uint32_t)> deliver) { m_deliver = std::move(deliver); }

  void whenLoadFails(std::function<void(ResultCode)> handler);
  const char* fontState() const;
  const std::string& soundFont() const { return m_soundFont; }

 private:
  SynthEngine() = default;
  void loadFont();

  enum class Font { Loading, Ready, Failed };

  struct SettingsDeleter {
    void operator()(_fluid_hashtable_t* s) const;
  };
  struct SynthDeleter {
    void operator()(_fluid_synth_t* s) const;
  };

  std::unique_ptr<_fluid_hashtable_t, SettingsDeleter> m_settings;
  std::unique_ptr<_fluid_synth_t, SynthDeleter> m_synth;
  std::atomic<_fluid_synth_t*> m_audible{nullptr};  // m_synth, for the sinks' threads
  std::mutex m_synthMutex;                          // making m_synth
  std::string m_soundFont;
  std::function<void(std::uint32_t)> m_deliver;

  // The SoundFont's load. fluid_synth_sfload holds the synth's lock for the whole load, so
  // messages wait in m_queued rather than in a call into the synth.
  std::mutex m_fontMutex;
  std::atomic<Font> m_font{Font::Loading};
  ResultCode m_failure = MMSYSERR_NOERROR;  // why the load failed; set before m_font
  std::vector<std::uint32_t> m_queued;
  std::function<void(ResultCode)> m_onLoadFailed;
  std::thread m_loader;
};

}  // namespace midi
