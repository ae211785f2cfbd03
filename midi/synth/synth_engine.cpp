// SPDX-License-Identifier: GPL-3.0-or-later
#include "midi/synth/synth_engine.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <new>
#include <string>
#include <system_error>

#include "midi/log.h"
#include "midi/servers/fluid_library.h"

namespace midi {

namespace fs = std::filesystem;

namespace {

// Only called once make() has found the library.
const FluidLibrary& fl() { return *fluidLibrary(); }

bool isSoundFontFile(const fs::path& p) {
  std::error_code ec;
  if (!fs::is_regular_file(p, ec)) return false;  // follows links; a dangling one is skipped
  const auto ext = p.extension().string();
  if (ext != ".sf2" && ext != ".sf3" && ext != ".SF2" && ext != ".SF3") return false;
  const FluidLibrary* library = fluidLibrary();
  return library && library->fluid_is_soundfont(p.c_str()) != 0;  // reads the header only
}

fluid_synth_t* audible(void* user) {
  return static_cast<std::atomic<fluid_synth_t*>*>(user)->load();
}

}  // namespace

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

void SynthEngine::SettingsDeleter::operator()(fluid_settings_t* s) const {
  fl().delete_fluid_settings(s);
}
void SynthEngine::SynthDeleter::operator()(fluid_synth_t* s) const { fl().delete_fluid_synth(s); }

ResultCode SynthEngine::make(const std::vector<std::string>& soundFontSearch, int sampleRate,
                             double gain, std::unique_ptr<SynthEngine>& out) {
  out.reset();
  if (!fluidLibrary()) return MMSYSERR_NODRIVER;  // no synthesizer to be had
  std::string soundFont = findSoundFont(soundFontSearch);
  if (soundFont.empty()) return MIDIERR_NODEVICE;
  std::unique_ptr<SynthEngine> e(new (std::nothrow) SynthEngine);
  if (!e) return MMSYSERR_NOMEM;
  e->m_settings.reset(fl().new_fluid_settings());
  if (!e->m_settings) return MMSYSERR_NOMEM;
  fluid_settings_t* settings = e->m_settings.get();
  // Only the samples that are played are loaded: opening the Mapper never waits for a whole font.
  fl().fluid_settings_setint(settings, "synth.dynamic-sample-loading", 1);
  fl().fluid_settings_setnum(settings, "synth.sample-rate", sampleRate);
  fl().fluid_settings_setnum(settings, "synth.gain", gain);
  e->m_soundFont = std::move(soundFont);
  out = std::move(e);
  return MMSYSERR_NOERROR;
}

SynthEngine::~SynthEngine() {
  if (m_loader.joinable()) m_loader.join();
}

fluid_synth_t* SynthEngine::synth() {
  std::lock_guard lock(m_synthMutex);
  if (!m_synth) {
    m_synth.reset(fl().new_fluid_synth(m_settings.get()));  // ~3.5 ms the first time
    m_audible.store(m_synth.get());
  }
  return m_synth.get();
}

int SynthEngine::sampleRate() const {
  double rate = 0;
  fl().fluid_settings_getnum(m_settings.get(), "synth.sample-rate", &rate);
  return static_cast<int>(rate);
}

void SynthEngine::setSampleRate(int rate) {
  fl().fluid_settings_setnum(m_settings.get(), "synth.sample-rate", rate);
}

RenderGate::Engine SynthEngine::gateEngine() {
  RenderGate::Engine engine;
  engine.user = &m_audible;
  // Until the synth is made with the font there is nothing to render: silence.
  engine.render = [](void* user, float* left, float* right, int step, std::size_t frames) {
    if (fluid_synth_t* synth = audible(user)) {
      fl().fluid_synth_write_float(synth, static_cast<int>(frames), left, 0, step, right, 0, step);
      return;
    }
    for (std::size_t i = 0; i < frames; ++i) left[i * step] = right[i * step] = 0.0f;
  };
  // Nothing that sounded may play on when a server renders the synth again: the voices stop, then
  // the reverb's and the chorus's lines are emptied. FluidSynth applies what it is told only when
  // its next 64-frame block is rendered, so the gate renders one after each step. The reset alone
  // is not enough: it begins with all sounds off, but it ends by setting the basic channels, whose
  // all notes off reaches the voices in the same block and takes them from finished back to their
  // release, so they ring out (FluidSynth 2.3: a reset alone left four held notes sounding a
  // second later). So the voices are stopped in a block of their own first. The reset also sets
  // the channels back to their start; the window sends notes only.
  engine.off = {
      [](void* user) {
        if (fluid_synth_t* synth = audible(user)) fl().fluid_synth_all_sounds_off(synth, -1);
      },
      [](void* user) {
        if (fluid_synth_t* synth = audible(user)) fl().fluid_synth_system_reset(synth);
      },
  };
  return engine;
}

ResultCode SynthEngine::startLoading() {
  if (m_loader.joinable() || m_font.load() != Font::Loading) return MMSYSERR_NOERROR;
  try {
    m_loader = std::thread(&SynthEngine::loadFont, this);
  } catch (const std::system_error&) {
    loadFont();  // no thread to be had: load it here and now
    if (m_font.load() == Font::Failed) return m_failure;
  }
  return MMSYSERR_NOERROR;
}

void SynthEngine::loadFont() {
  ResultCode failure = MMSYSERR_NOERROR;
  auto load = [this, &failure] {
    if (!synth())
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
      for (std::uint32_t message : m_queued)
        if (m_deliver) m_deliver(message);
      m_font.store(Font::Ready);
    } else {
      m_font.store(Font::Failed);
      failed = std::move(m_onLoadFailed);
    }
    m_queued.clear();
  }
  if (failure != MMSYSERR_NOERROR)
    logEvent(LogRoom::Synth, LogLevel::Warning, "font failed",
             "MIDI Mapper: the SoundFont " + m_soundFont + " failed to load (rc " +
                 std::to_string(failure) + "); the Mapper stays silent");
  if (failed) failed(failure);
}

void SynthEngine::whenLoadFails(std::function<void(ResultCode)> handler) {
  {
    std::lock_guard lock(m_fontMutex);
    if (m_font.load() != Font::Failed) {
      m_onLoadFailed = std::move(handler);
      return;
    }
  }
  if (handler) handler(m_failure);
}

const char* SynthEngine::fontState() const {
  switch (m_font.load()) {
    case Font::Loading: return "loading";
    case Font::Ready: return "ready";
    case Font::Failed: return "failed";
  }
  return "";
}

ResultCode SynthEngine::admit(std::uint32_t message, bool& deliverNow) {
  deliverNow = true;
  if (m_font.load() == Font::Ready) return MMSYSERR_NOERROR;
  std::lock_guard lock(m_fontMutex);
  if (m_font.load() == Font::Failed) return m_failure;
  if (m_font.load() == Font::Ready) return MMSYSERR_NOERROR;
  deliverNow = false;
  if (shortMessageLength(message) == 0) return MMSYSERR_INVALPARAM;
  try {
    m_queued.push_back(message);  // played, in order, once the font is ready
  } catch (const std::bad_alloc&) {
    return MMSYSERR_NOMEM;
  }
  return MMSYSERR_NOERROR;
}

ResultCode SynthEngine::applyMessage(std::uint32_t message) {
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
