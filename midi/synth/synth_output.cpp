// SPDX-License-Identifier: GPL-3.0-or-later
#include "midi/synth/synth_output.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <system_error>

#include "midi/servers/fluid_library.h"

namespace midi {

namespace fs = std::filesystem;

namespace {

// Only called once open() has found the library.
const FluidLibrary& fl() { return *fluidLibrary(); }

bool isSoundFontFile(const fs::path& p) {
  std::error_code ec;
  if (!fs::is_regular_file(p, ec)) return false;  // follows links; a dangling one is skipped
  const auto ext = p.extension().string();
  if (ext != ".sf2" && ext != ".sf3" && ext != ".SF2" && ext != ".SF3") return false;
  const FluidLibrary* library = fluidLibrary();
  return library && library->fluid_is_soundfont(p.c_str()) != 0;  // reads the header only
}

void applySettings(fluid_settings_t* settings, const SynthConfig& config) {
  // Only the samples that are played are loaded: opening the Mapper never waits for a whole font.
  fl().fluid_settings_setint(settings, "synth.dynamic-sample-loading", 1);
  fl().fluid_settings_setnum(settings, "synth.sample-rate", config.sampleRate);
  fl().fluid_settings_setnum(settings, "synth.gain", config.gain);
  fl().fluid_settings_setint(settings, "audio.period-size", config.periodSize);
  fl().fluid_settings_setint(settings, "audio.periods", config.periods);
}

// What a sink asks of the synth behind SynthOutput::m_audible (none until the font is loaded).
bool audibleSounding(void* audible) {
  auto* synth = static_cast<std::atomic<fluid_synth_t*>*>(audible)->load();
  return synth && fl().fluid_synth_get_active_voice_count(synth) > 0;
}
void silenceAudible(void* audible) {
  if (auto* synth = static_cast<std::atomic<fluid_synth_t*>*>(audible)->load())
    fl().fluid_synth_all_sounds_off(synth, -1);
}

}  // namespace

void prepareSynthPlatform() {
  static const bool once = [] {
    setenv("PULSE_PROP_media.role", "music", 0);
    return true;
  }();
  (void)once;
}

SynthConfig SynthConfig::defaults() {
  SynthConfig c;
  c.soundFontSearch = {
      "/usr/share/sounds/sf2/default-GM.sf2",  // the distribution's choice of GM font
      "/usr/share/sounds/sf3/default-GM.sf3",
      "/usr/share/soundfonts/default.sf2",
      "/usr/share/soundfonts",
      "/usr/share/sounds/sf2/FluidR3_GM.sf2",
      "/usr/share/sounds/sf3/MuseScore_General.sf3",
      "/usr/share/sounds/sf2/TimGM6mb.sf2",
      "/usr/share/sounds/sf2",
      "/usr/share/sounds/sf3",
  };
  // PulseAudio also serves PipeWire desktops (pipewire-pulse).
  c.audioDrivers = {"pulseaudio", "pipewire", "jack", "alsa"};
  return c;
}

std::string findSoundFont(const std::vector<std::string>& search) {
  for (const std::string& entry : search) {
    const fs::path p(entry);
    std::error_code ec;
    if (fs::is_directory(p, ec)) {
      std::vector<fs::path> found;
      for (const auto& e : fs::directory_iterator(p, ec))
        if (isSoundFontFile(e.path())) found.push_back(e.path());
      std::sort(found.begin(), found.end());
      if (!found.empty()) return found.front().string();
    } else if (isSoundFontFile(p)) {
      return p.string();
    }
  }
  return {};
}

void SynthOutput::SettingsDeleter::operator()(fluid_settings_t* s) const {
  fl().delete_fluid_settings(s);
}
void SynthOutput::SynthDeleter::operator()(fluid_synth_t* s) const { fl().delete_fluid_synth(s); }
void SynthOutput::DriverDeleter::operator()(fluid_audio_driver_t* d) const {
  fl().delete_fluid_audio_driver(d);
}

SynthOutput::~SynthOutput() {
  if (m_loader.joinable()) m_loader.join();  // a load cannot be cut short
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
  }
  m_wake.notify_all();
  if (m_watcher.joinable()) m_watcher.join();
  // m_driver, m_synth, m_settings go in that order.
}

bool SynthOutput::startDriver() {
  fl().fluid_settings_setstr(m_settings.get(), "audio.driver", m_audioDriver.c_str());
  m_driver.reset(fl().new_fluid_audio_driver(m_settings.get(), m_synth.get()));
  m_audio = m_driver ? Audio::Running : Audio::Suspended;
  return m_driver != nullptr;
}

bool SynthOutput::startPulseStream(const SynthConfig& config) {
  PulseStreamConfig pulse;
  pulse.sampleRate = config.sampleRate;
  pulse.targetLatency = config.pulseLatency;
  pulse.idleSleep = config.idleSuspend;
  // The stream exists before the synth (made with the font, off the window's path): until then
  // it has nothing to render, and it sleeps until the first message anyway.
  PulseStreamClient client;
  client.user = &m_audible;
  client.render = [](void* audible, float* out, std::size_t frames) {
    if (auto* synth = static_cast<std::atomic<fluid_synth_t*>*>(audible)->load())
      fl().fluid_synth_write_float(synth, static_cast<int>(frames), out, 0, 2, out, 1, 2);
    else
      std::fill(out, out + 2 * frames, 0.0f);
  };
  client.sounding = audibleSounding;
  // Nothing that sounded before a loss may come back hanging when the server returns.
  client.lost = silenceAudible;
  return PulseStream::open(pulse, client, m_pulse) == MMSYSERR_NOERROR;
}

bool SynthOutput::startJackSink(const SynthConfig& config,
                                const std::shared_ptr<JackSession>& jack) {
  SinkClient client;
  client.user = &m_audible;
  client.render = [](void* audible, float* left, float* right, std::size_t frames) {
    if (auto* synth = static_cast<std::atomic<fluid_synth_t*>*>(audible)->load()) {
      fl().fluid_synth_write_float(synth, static_cast<int>(frames), left, 0, 1, right, 0, 1);
    } else {
      std::fill(left, left + frames, 0.0f);
      std::fill(right, right + frames, 0.0f);
    }
  };
  client.sounding = audibleSounding;
  client.lost = silenceAudible;
  int rate = 0;
  if (JackSink::open(jack, client, config.idleSuspend, m_jack, rate) != MMSYSERR_NOERROR)
    return false;
  // The synth is made later, with the font: at the server's rate.
  fl().fluid_settings_setnum(m_settings.get(), "synth.sample-rate", rate);
  return true;
}

ResultCode SynthOutput::startFirstDriver(const SynthConfig& config,
                                         const std::shared_ptr<JackSession>& jack) {
  fluid_settings_t* settings = m_settings.get();
  // The first driver that opens wins, and is the one resumed after each suspension.
  for (const std::string& driver : config.audioDrivers) {
    m_audioDriver = driver;
    if (driver == "pulseaudio") {
      if (startPulseStream(config)) return MMSYSERR_NOERROR;
      continue;
    }
    if (driver == "jack") {
      if (startJackSink(config, jack)) return MMSYSERR_NOERROR;
      continue;
    }
    if (fl().fluid_settings_setstr(settings, "audio.driver", driver.c_str()) != FLUID_OK) continue;
    if (!makeSynth()) return MMSYSERR_NOMEM;  // FluidSynth's own drivers need the synth now
    if (startDriver()) break;
  }
  if (!m_driver) return MMSYSERR_NODRIVER;
  fl().fluid_settings_getint(settings, "audio.period-size", &m_periodSize);
  fl().fluid_settings_getint(settings, "audio.periods", &m_periods);
  double rate = 0;
  fl().fluid_settings_getnum(settings, "synth.sample-rate", &rate);
  m_sampleRate = static_cast<int>(rate);
  return MMSYSERR_NOERROR;
}

bool SynthOutput::audioRunning() const {
  if (m_pulse) return m_pulse->state() == PulseStream::State::Running;
  if (m_jack) return m_jack->state() == JackSink::State::Running;
  std::lock_guard lock(m_mutex);
  return m_audio == Audio::Running;
}

void SynthOutput::watchIdleness() {
  using Clock = std::chrono::steady_clock;
  std::unique_lock lock(m_mutex);
  while (!m_stopping) {
    if (m_audio != Audio::Running) {
      m_wake.wait(lock, [this] { return m_stopping || m_audio == Audio::Running; });
      continue;
    }
    const auto quietSince = m_lastMessage + m_idleSuspend;
    if (Clock::now() < quietSince) {
      m_wake.wait_until(lock, quietSince);
      continue;
    }
    if (fl().fluid_synth_get_active_voice_count(m_synth.get()) > 0) {
      // A key is held or a note still rings out: look again in a while.
      m_wake.wait_for(lock, std::chrono::milliseconds(500));
      continue;
    }
    // Retire the stream. Deleting a driver may wait for the sound server, so the lock is let go
    // meanwhile: a message that comes now is played by the synth and asks for a resume.
    m_audio = Audio::Retiring;
    auto driver = std::move(m_driver);
    lock.unlock();
    driver.reset();
    lock.lock();
    m_audio = Audio::Suspended;
    if (m_resumeWanted && !m_stopping) {
      m_resumeWanted = false;
      startDriver();
    }
  }
}

ResultCode SynthOutput::open(const SynthConfig& config, std::unique_ptr<SynthOutput>& out,
                             bool loadNow, std::shared_ptr<JackSession> jack) {
  prepareSynthPlatform();
  out.reset();
  if (!fluidLibrary()) return MMSYSERR_NODRIVER;  // no synthesizer to be had
  const std::string soundFont = findSoundFont(config.soundFontSearch);
  if (soundFont.empty()) return MIDIERR_NODEVICE;

  std::unique_ptr<SynthOutput> s(new (std::nothrow) SynthOutput);
  if (!s) return MMSYSERR_NOMEM;
  s->m_settings.reset(fl().new_fluid_settings());
  if (!s->m_settings) return MMSYSERR_NOMEM;
  fluid_settings_t* settings = s->m_settings.get();

  applySettings(settings, config);
  s->m_soundFont = soundFont;

  if (const ResultCode started = s->startFirstDriver(config, jack); started != MMSYSERR_NOERROR)
    return started;
  if (loadNow) {
    const ResultCode loading = s->startLoading();
    if (loading != MMSYSERR_NOERROR) return loading;
  }
  if (s->m_pulse || s->m_jack) {  // they sleep by themselves
    out = std::move(s);
    return MMSYSERR_NOERROR;
  }

  // Nothing has been played yet: the watcher suspends the stream at once.
  s->m_idleSuspend = config.idleSuspend;
  s->m_lastMessage = std::chrono::steady_clock::now() - config.idleSuspend;
  try {
    s->m_watcher = std::thread(&SynthOutput::watchIdleness, s.get());
  } catch (const std::system_error&) {
    // Without a watcher the stream simply keeps running.
  }
  out = std::move(s);
  return MMSYSERR_NOERROR;
}

double SynthOutput::bufferMilliseconds() const {
  if (m_pulse) return m_pulse->latencyMilliseconds();
  if (m_jack) return m_jack->latencyMilliseconds();
  return m_sampleRate > 0 ? 1000.0 * m_periodSize * m_periods / m_sampleRate : 0.0;
}

ResultCode SynthOutput::startLoading() {
  if (m_loader.joinable() || m_font.load() != Font::Loading) return MMSYSERR_NOERROR;
  try {
    m_loader = std::thread(&SynthOutput::loadFont, this);
  } catch (const std::system_error&) {
    loadFont();  // no thread to be had: load it here and now
    if (m_font.load() == Font::Failed) return m_failure;
  }
  return MMSYSERR_NOERROR;
}

bool SynthOutput::makeSynth() {
  if (!m_synth) {
    m_synth.reset(fl().new_fluid_synth(m_settings.get()));  // ~3.5 ms the first time
    m_audible.store(m_synth.get());
  }
  return m_synth != nullptr;
}

void SynthOutput::loadFont() {
  ResultCode failure = MMSYSERR_NOERROR;
  auto load = [this, &failure] {
    if (!makeSynth())
      failure = MMSYSERR_NOMEM;
    else if (fl().fluid_synth_sfload(m_synth.get(), m_soundFont.c_str(), 1) == FLUID_FAILED)
      failure = MIDIERR_NODEVICE;
  };
  // Nobody waits for the load, so it runs at low priority and leaves the cores to the window
  // as it shows; in a thread of its own, since a thread started from a lowered one (an audio
  // driver's, for the queued notes) would inherit the low priority for good.
  try {
    std::thread([&load] {
      setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
      load();
    }).join();
  } catch (const std::system_error&) {
    load();
  }
  std::function<void(ResultCode)> failed;
  {
    std::lock_guard lock(m_fontMutex);
    m_failure = failure;
    if (failure == MMSYSERR_NOERROR) {
      for (std::uint32_t message : m_queued) deliver(message);
      m_font.store(Font::Ready);
    } else {
      m_font.store(Font::Failed);
      failed = std::move(m_onLoadFailed);
    }
    m_queued.clear();
  }
  if (failed) failed(failure);
}

void SynthOutput::whenLoadFails(std::function<void(ResultCode)> handler) {
  {
    std::lock_guard lock(m_fontMutex);
    if (m_font.load() != Font::Failed) {
      m_onLoadFailed = std::move(handler);
      return;
    }
  }
  if (handler) handler(m_failure);
}

const char* SynthOutput::fontState() const {
  switch (m_font.load()) {
    case Font::Loading: return "loading";
    case Font::Ready: return "ready";
    case Font::Failed: return "failed";
  }
  return "";
}

ResultCode SynthOutput::send(std::uint32_t message) {
  if (m_font.load() != Font::Ready) {
    std::lock_guard lock(m_fontMutex);
    if (m_font.load() == Font::Failed) return m_failure;
    if (m_font.load() == Font::Loading) {
      if (shortMessageLength(message) == 0) return MMSYSERR_INVALPARAM;
      try {
        m_queued.push_back(message);  // played, in order, once the font is ready
      } catch (const std::bad_alloc&) {
        return MMSYSERR_NOMEM;
      }
      return MMSYSERR_NOERROR;
    }
  }
  return deliver(message);
}

ResultCode SynthOutput::deliver(std::uint32_t message) {
  if (m_pulse) {
    ResultCode rc = MMSYSERR_NOERROR;
    // While the sound server is gone nothing reaches the synth, so nothing plays in a burst
    // or hangs when it comes back.
    if (!m_pulse->play([&] { rc = applyMessage(message); })) return MMSYSERR_NODRIVER;
    return rc;
  }
  if (m_jack) {
    ResultCode rc = MMSYSERR_NOERROR;
    if (!m_jack->play([&] { rc = applyMessage(message); })) return MMSYSERR_NODRIVER;
    return rc;
  }
  bool audible = true;
  {
    std::lock_guard lock(m_mutex);
    m_lastMessage = std::chrono::steady_clock::now();
    if (m_audio == Audio::Suspended) {
      audible = startDriver();  // false: the sound server has gone since the open
    } else if (m_audio == Audio::Retiring) {
      m_resumeWanted = true;
    }
  }
  m_wake.notify_one();
  const ResultCode rc = applyMessage(message);
  if (rc == MMSYSERR_NOERROR && !audible) return MMSYSERR_NODRIVER;
  return rc;
}

ResultCode SynthOutput::applyMessage(std::uint32_t message) {
  fluid_synth_t* synth = m_synth.get();
  const int status = message & 0xFF;
  const int channel = status & 0x0F;
  const int data1 = (message >> 8) & 0x7F;
  const int data2 = (message >> 16) & 0x7F;
  int result = FLUID_OK;
  switch (status & 0xF0) {
    case 0x80: result = fl().fluid_synth_noteoff(synth, channel, data1); break;
    case 0x90:
      result = data2 == 0 ? fl().fluid_synth_noteoff(synth, channel, data1)
                          : fl().fluid_synth_noteon(synth, channel, data1, data2);
      break;
    case 0xA0: result = fl().fluid_synth_key_pressure(synth, channel, data1, data2); break;
    case 0xB0: result = fl().fluid_synth_cc(synth, channel, data1, data2); break;
    case 0xC0: result = fl().fluid_synth_program_change(synth, channel, data1); break;
    case 0xD0: result = fl().fluid_synth_channel_pressure(synth, channel, data1); break;
    case 0xE0: result = fl().fluid_synth_pitch_bend(synth, channel, data1 | data2 << 7); break;
    default: return MMSYSERR_INVALPARAM;
  }
  // A Note Off for a note that is not sounding is fine in MIDI; FluidSynth reports it as failed.
  if (result != FLUID_OK && (status & 0xF0) != 0x80 && (status & 0xF0) != 0x90)
    return MMSYSERR_ERROR;
  return MMSYSERR_NOERROR;
}

}  // namespace midi
