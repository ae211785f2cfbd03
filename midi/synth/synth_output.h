// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The embedded General MIDI synthesizer that stands behind the MIDI Mapper: FluidSynth playing a
// SoundFont found on the system into the first audio output that opens.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "midi/servers/jack_session.h"
#include "midi/servers/pulse_stream.h"
#include "midi/service/midi_service.h"
#include "midi/synth/jack_sink.h"

struct _fluid_hashtable_t;
struct _fluid_synth_t;
struct _fluid_audio_driver_t;

namespace midi {

// No General MIDI SoundFont was found (the familiar "no configured instruments" code).
inline constexpr ResultCode MIDIERR_NODEVICE = 68;

struct SynthConfig {
  // SoundFonts to try, in order; a folder stands for the .sf2 and .sf3 files in it.
  std::vector<std::string> soundFontSearch;
  // Audio outputs to try, in order; the first that opens wins. A sound server is never started.
  // "pulseaudio" is our own stream, "jack" the JACK session's ports, the others FluidSynth's
  // drivers.
  std::vector<std::string> audioDrivers;
  int sampleRate = 48000;
  int periodSize = 64;  // frames: 1.3 ms at 48 kHz
  int periods = 2;
  double gain = 0.5;
  // The stream's whole latency asked of PulseAudio; the server may grant more.
  std::chrono::microseconds pulseLatency{6000};
  // The audio stream is suspended when nothing has sounded for this long (and right after the
  // open has shown that the output works): an idle keyboard costs no CPU. The next message
  // resumes it: on PulseAudio an uncork of the stream's own thread, on the other drivers a new
  // FluidSynth driver (about a millisecond or two).
  std::chrono::milliseconds idleSuspend{5000};

  static SynthConfig defaults();
};

// Sets the audio stream's media role for libpulse (PULSE_PROP_media.role); FluidSynth's log is
// silenced as the library loads. Sets the
// environment, so it must run before any other thread does; later calls do nothing.
void prepareSynthPlatform();

// The first SoundFont that the search finds and whose header FluidSynth accepts, or an empty
// string.
std::string findSoundFont(const std::vector<std::string>& search);

class SynthOutput {
 public:
  ~SynthOutput();
  SynthOutput(const SynthOutput&) = delete;
  SynthOutput& operator=(const SynthOutput&) = delete;

  // Finds the SoundFont, starts the audio output and returns; the font loads on a thread of its
  // own (its samples only when first played). Messages sent meanwhile are queued in order and
  // played once it is ready, so the caller never waits for the load.
  // With loadNow false the load waits for startLoading(): the service prepares the Mapper while
  // the window builds, and the load should not take the cores from it.
  // jack: the program's JACK session, for the "jack" output (none: that output is passed over).
  static ResultCode open(const SynthConfig& config, std::unique_ptr<SynthOutput>& out,
                         bool loadNow = true, std::shared_ptr<JackSession> jack = nullptr);
  // Starts loading the font, once. MIDIERR_NODEVICE if no thread could be had and the load,
  // done here and now, failed.
  ResultCode startLoading();

  // The load's failure code for every message once the font has failed to load.
  ResultCode send(std::uint32_t message);

  // Runs handler once, on the loading thread, if the font fails to load (at once if it has),
  // with MIDIERR_NODEVICE (or MMSYSERR_NOMEM when not even the synth could be made).
  void whenLoadFails(std::function<void(ResultCode)> handler);
  // "loading", "ready" or "failed".
  const char* fontState() const;

  const std::string& soundFont() const { return m_soundFont; }
  const std::string& audioDriver() const { return m_audioDriver; }
  // The audio buffer the synthesizer writes, in milliseconds (on PulseAudio: as granted).
  double bufferMilliseconds() const;
  // Whether the audio stream is running now (false while suspended for idleness or lost).
  bool audioRunning() const;

 private:
  SynthOutput() = default;
  bool startDriver();  // with m_mutex held
  ResultCode startFirstDriver(const SynthConfig& config, const std::shared_ptr<JackSession>& jack);
  bool startPulseStream(const SynthConfig& config);
  bool startJackSink(const SynthConfig& config, const std::shared_ptr<JackSession>& jack);
  void watchIdleness();
  void loadFont();
  bool makeSynth();                                // once
  ResultCode deliver(std::uint32_t message);       // to the synth and the audio output
  ResultCode applyMessage(std::uint32_t message);  // to the synth alone

  enum class Font { Loading, Ready, Failed };

  enum class Audio { Running, Retiring, Suspended };

  struct SettingsDeleter {
    void operator()(_fluid_hashtable_t* s) const;
  };
  struct SynthDeleter {
    void operator()(_fluid_synth_t* s) const;
  };
  struct DriverDeleter {
    void operator()(_fluid_audio_driver_t* d) const;
  };

  // Declared in this order so that destruction stops the audio before the synth goes. One of
  // m_pulse (PulseAudio, our own stream), m_jack (the JACK session's ports) or m_driver
  // (FluidSynth's driver: ALSA, or a file in the tests).
  std::unique_ptr<_fluid_hashtable_t, SettingsDeleter> m_settings;
  std::unique_ptr<_fluid_synth_t, SynthDeleter> m_synth;  // made with the font on PulseAudio
  std::atomic<_fluid_synth_t*> m_audible{nullptr};        // m_synth, for the stream's thread
  std::unique_ptr<PulseStream> m_pulse;
  std::unique_ptr<JackSink> m_jack;
  std::unique_ptr<_fluid_audio_driver_t, DriverDeleter> m_driver;
  std::string m_soundFont;
  std::string m_audioDriver;
  int m_periodSize = 0;
  int m_periods = 0;
  int m_sampleRate = 0;

  // FluidSynth's driver's life, watched by m_watcher (PulseStream keeps its own). Only one driver
  // exists at a time: a new one starts only once the retiring one is gone, so two threads never
  // render the synth at once.
  mutable std::mutex m_mutex;
  std::condition_variable m_wake;
  Audio m_audio = Audio::Suspended;
  bool m_resumeWanted = false;  // a message came while the stream was retiring
  bool m_stopping = false;
  std::chrono::steady_clock::time_point m_lastMessage{};
  std::chrono::milliseconds m_idleSuspend{};
  std::thread m_watcher;

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
