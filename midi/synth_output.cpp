#include "synth_output.h"

#include <fluidsynth.h>

#include <algorithm>
#include <filesystem>
#include <new>
#include <system_error>

namespace midi {

namespace fs = std::filesystem;

namespace {

void silentLog(int, const char*, void*) {}

void silenceFluidSynth() {
  static const bool once = [] {
    for (int level = FLUID_PANIC; level < LAST_LOG_LEVEL; ++level)
      fluid_set_log_function(level, silentLog, nullptr);
    return true;
  }();
  (void)once;
}

bool isSoundFontFile(const fs::path& p) {
  std::error_code ec;
  if (!fs::is_regular_file(p, ec)) return false;  // follows links; a dangling one is skipped
  const auto ext = p.extension().string();
  return ext == ".sf2" || ext == ".sf3" || ext == ".SF2" || ext == ".SF3";
}

}  // namespace

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

void SynthOutput::SettingsDeleter::operator()(fluid_settings_t* s) const { delete_fluid_settings(s); }
void SynthOutput::SynthDeleter::operator()(fluid_synth_t* s) const { delete_fluid_synth(s); }
void SynthOutput::DriverDeleter::operator()(fluid_audio_driver_t* d) const {
  delete_fluid_audio_driver(d);
}

SynthOutput::~SynthOutput() = default;

ResultCode SynthOutput::open(const SynthConfig& config, std::unique_ptr<SynthOutput>& out) {
  silenceFluidSynth();
  out.reset();
  const std::string soundFont = findSoundFont(config.soundFontSearch);
  if (soundFont.empty()) return MIDIERR_NODEVICE;

  std::unique_ptr<SynthOutput> s(new (std::nothrow) SynthOutput);
  if (!s) return MMSYSERR_NOMEM;
  s->m_settings.reset(new_fluid_settings());
  if (!s->m_settings) return MMSYSERR_NOMEM;
  fluid_settings_t* settings = s->m_settings.get();

  // Only the samples that are played are loaded: opening the Mapper never waits for a whole font.
  fluid_settings_setint(settings, "synth.dynamic-sample-loading", 1);
  fluid_settings_setnum(settings, "synth.sample-rate", config.sampleRate);
  fluid_settings_setnum(settings, "synth.gain", config.gain);
  fluid_settings_setint(settings, "audio.period-size", config.periodSize);
  fluid_settings_setint(settings, "audio.periods", config.periods);
  // Keep our short buffer: PulseAudio would otherwise raise the latency behind our back.
  fluid_settings_setint(settings, "audio.pulseaudio.adjust-latency", 0);
  fluid_settings_setstr(settings, "audio.pulseaudio.media-role", "music");
  fluid_settings_setint(settings, "audio.jack.autoconnect", 1);
  fluid_settings_setint(settings, "audio.realtime-prio", 0);

  s->m_synth.reset(new_fluid_synth(settings));
  if (!s->m_synth) return MMSYSERR_NOMEM;
  if (fluid_synth_sfload(s->m_synth.get(), soundFont.c_str(), 1) == FLUID_FAILED)
    return MIDIERR_NODEVICE;
  s->m_soundFont = soundFont;

  for (const std::string& driver : config.audioDrivers) {
    if (fluid_settings_setstr(settings, "audio.driver", driver.c_str()) != FLUID_OK) continue;
    s->m_driver.reset(new_fluid_audio_driver(settings, s->m_synth.get()));
    if (s->m_driver) {
      s->m_audioDriver = driver;
      break;
    }
  }
  if (!s->m_driver) return MMSYSERR_NODRIVER;

  fluid_settings_getint(settings, "audio.period-size", &s->m_periodSize);
  fluid_settings_getint(settings, "audio.periods", &s->m_periods);
  double rate = config.sampleRate;
  fluid_settings_getnum(settings, "synth.sample-rate", &rate);
  s->m_sampleRate = static_cast<int>(rate);
  out = std::move(s);
  return MMSYSERR_NOERROR;
}

double SynthOutput::bufferMilliseconds() const {
  return m_sampleRate > 0 ? 1000.0 * m_periodSize * m_periods / m_sampleRate : 0.0;
}

ResultCode SynthOutput::send(std::uint32_t message) {
  fluid_synth_t* synth = m_synth.get();
  const int status = message & 0xFF;
  const int channel = status & 0x0F;
  const int data1 = (message >> 8) & 0x7F;
  const int data2 = (message >> 16) & 0x7F;
  int result = FLUID_OK;
  switch (status & 0xF0) {
    case 0x80: result = fluid_synth_noteoff(synth, channel, data1); break;
    case 0x90:
      result = data2 == 0 ? fluid_synth_noteoff(synth, channel, data1)
                          : fluid_synth_noteon(synth, channel, data1, data2);
      break;
    case 0xA0: result = fluid_synth_key_pressure(synth, channel, data1, data2); break;
    case 0xB0: result = fluid_synth_cc(synth, channel, data1, data2); break;
    case 0xC0: result = fluid_synth_program_change(synth, channel, data1); break;
    case 0xD0: result = fluid_synth_channel_pressure(synth, channel, data1); break;
    case 0xE0: result = fluid_synth_pitch_bend(synth, channel, data1 | data2 << 7); break;
    default: return MMSYSERR_INVALPARAM;
  }
  // A Note Off for a note that is not sounding is fine in MIDI; FluidSynth reports it as failed.
  if (result != FLUID_OK && (status & 0xF0) != 0x80 && (status & 0xF0) != 0x90)
    return MMSYSERR_ERROR;
  return MMSYSERR_NOERROR;
}

}  // namespace midi
