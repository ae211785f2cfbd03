// SPDX-License-Identifier: GPL-3.0-or-later
#include "midi/synth/sinks.h"

#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include "midi/servers/fluid_library.h"
#include "midi/servers/pipewire_stream.h"
#include "midi/servers/pulse_stream.h"
#include "midi/synth/jack_sink.h"
#include "midi/synth/synth_engine.h"

namespace midi {

namespace {

// Our own streams, each of which follows its server by itself.
template <class Stream>
class StreamSink final : public Sink {
 public:
  StreamSink(std::unique_ptr<Stream> stream, int rate)
      : m_stream(std::move(stream)), m_rate(rate) {}
  bool play(const std::function<void()>& apply) override { return m_stream->play(apply); }
  SinkState state() const override { return m_stream->state(); }
  double latencyMilliseconds() const override { return m_stream->latencyMilliseconds(); }
  int sampleRate() const override { return m_rate; }

 private:
  std::unique_ptr<Stream> m_stream;
  int m_rate;
};

template <class Stream>
ResultCode wrap(ResultCode rc, std::unique_ptr<Stream>& stream, int rate,
                std::unique_ptr<Sink>& out) {
  if (!stream) return rc;
  out.reset(new (std::nothrow) StreamSink<Stream>(std::move(stream), rate));
  return out ? rc : MMSYSERR_NOMEM;
}

// FluidSynth's own driver (ALSA where no sound server runs; a file in the tests). The driver's
// thread renders the synth itself, so the synth is made now. Idle, the driver is deleted, and
// the next message makes a new one; only one driver exists at a time, so two threads never
// render the synth at once.
class DriverSink final : public Sink {
 public:
  static ResultCode open(const std::string& name, SynthEngine& engine, const SynthConfig& config,
                         std::unique_ptr<Sink>& out);
  ~DriverSink() override {
    {
      std::lock_guard lock(m_mutex);
      m_stopping = true;
    }
    m_wake.notify_all();
    if (m_watcher.joinable()) m_watcher.join();
  }

  bool play(const std::function<void()>& apply) override {
    {
      std::lock_guard lock(m_mutex);
      m_lastMessage = std::chrono::steady_clock::now();
      if (m_state == SinkState::Asleep && !m_retiring && !start()) return false;  // server gone
      if (m_retiring) m_resumeWanted = true;
    }
    m_wake.notify_one();
    apply();
    return true;
  }
  SinkState state() const override {
    std::lock_guard lock(m_mutex);
    return m_state;
  }
  double latencyMilliseconds() const override { return 1000.0 * m_periodSize * m_periods / m_rate; }
  int sampleRate() const override { return m_rate; }

 private:
  struct DriverDeleter {
    void operator()(fluid_audio_driver_t* d) const { fluidLibrary()->delete_fluid_audio_driver(d); }
  };
  DriverSink(SynthEngine& engine, std::chrono::milliseconds idle)
      : m_engine(engine), m_idleSuspend(idle) {}
  bool start();  // with m_mutex held
  void watchIdleness();

  SynthEngine& m_engine;
  const std::chrono::milliseconds m_idleSuspend;
  int m_periodSize = 0;
  int m_periods = 0;
  int m_rate = 0;
  mutable std::mutex m_mutex;
  std::condition_variable m_wake;
  std::unique_ptr<fluid_audio_driver_t, DriverDeleter> m_driver;
  SinkState m_state = SinkState::Asleep;
  bool m_retiring = false;      // Asleep, and the old driver is still being deleted
  bool m_resumeWanted = false;  // a message came meanwhile
  bool m_stopping = false;
  std::chrono::steady_clock::time_point m_lastMessage{};
  std::thread m_watcher;
};

ResultCode DriverSink::open(const std::string& name, SynthEngine& engine, const SynthConfig& config,
                            std::unique_ptr<Sink>& out) {
  const FluidLibrary& fl = *fluidLibrary();
  fluid_settings_t* settings = engine.settings();
  if (fl.fluid_settings_setstr(settings, "audio.driver", name.c_str()) != FLUID_OK)
    return MMSYSERR_NODRIVER;
  fl.fluid_settings_setint(settings, "audio.period-size", config.periodSize);
  fl.fluid_settings_setint(settings, "audio.periods", config.periods);
  if (!engine.synth()) return MMSYSERR_NOMEM;
  std::unique_ptr<DriverSink> sink(new (std::nothrow) DriverSink(engine, config.idleSuspend));
  if (!sink) return MMSYSERR_NOMEM;
  {
    std::lock_guard lock(sink->m_mutex);
    if (!sink->start()) return MMSYSERR_NODRIVER;  // the open shows whether the output works
  }
  fl.fluid_settings_getint(settings, "audio.period-size", &sink->m_periodSize);
  fl.fluid_settings_getint(settings, "audio.periods", &sink->m_periods);
  sink->m_rate = engine.sampleRate();
  // Nothing has been played yet: the watcher suspends the driver at once.
  sink->m_lastMessage = std::chrono::steady_clock::now() - config.idleSuspend;
  try {
    sink->m_watcher = std::thread(&DriverSink::watchIdleness, sink.get());
  } catch (const std::system_error&) {
    // Without a watcher the driver simply keeps running.
  }
  out = std::move(sink);
  return MMSYSERR_NOERROR;
}

bool DriverSink::start() {
  m_driver.reset(fluidLibrary()->new_fluid_audio_driver(m_engine.settings(), m_engine.synth()));
  if (m_driver) m_state = nextSinkState(m_state, SinkEvent::Message);
  return m_driver != nullptr;
}

void DriverSink::watchIdleness() {
  using Clock = std::chrono::steady_clock;
  std::unique_lock lock(m_mutex);
  while (!m_stopping) {
    if (m_state != SinkState::Running) {
      m_wake.wait(lock, [this] { return m_stopping || m_state == SinkState::Running; });
      continue;
    }
    const auto quietSince = m_lastMessage + m_idleSuspend;
    if (Clock::now() < quietSince) {
      m_wake.wait_until(lock, quietSince);
      continue;
    }
    if (fluidLibrary()->fluid_synth_get_active_voice_count(m_engine.synth()) > 0) {
      // A key is held or a note still rings out: look again in a while.
      m_wake.wait_for(lock, std::chrono::milliseconds(500));
      continue;
    }
    // Deleting a driver may wait for the sound server, so the lock is let go meanwhile: a
    // message that comes now is played by the synth and asks for a new driver.
    m_state = nextSinkState(m_state, SinkEvent::Quiet);
    m_retiring = true;
    auto driver = std::move(m_driver);
    lock.unlock();
    driver.reset();
    lock.lock();
    m_retiring = false;
    if (std::exchange(m_resumeWanted, false) && !m_stopping) start();
  }
}

ResultCode openPipeWire(SynthEngine& engine, const SynthConfig& config,
                        const std::shared_ptr<JackSession>&, std::unique_ptr<Sink>& out) {
  PipeWireStreamConfig pipeWire;
  pipeWire.sampleRate = engine.sampleRate();
  pipeWire.quantum = config.pipeWireQuantum * pipeWire.sampleRate / config.sampleRate;
  pipeWire.idleSleep = config.idleSuspend;
  std::unique_ptr<PipeWireStream> stream;
  const ResultCode rc =
      PipeWireStream::open(pipeWire, engine.audioClient(), config.serverDeadline, stream);
  return wrap(rc, stream, pipeWire.sampleRate, out);
}

ResultCode openPulse(SynthEngine& engine, const SynthConfig& config,
                     const std::shared_ptr<JackSession>&, std::unique_ptr<Sink>& out) {
  PulseStreamConfig pulse;
  pulse.sampleRate = engine.sampleRate();
  pulse.targetLatency = config.pulseLatency;
  pulse.idleSleep = config.idleSuspend;
  std::unique_ptr<PulseStream> stream;
  const ResultCode rc =
      PulseStream::open(pulse, engine.audioClient(), config.serverDeadline, stream);
  return wrap(rc, stream, pulse.sampleRate, out);
}

ResultCode openJack(SynthEngine& engine, const SynthConfig& config,
                    const std::shared_ptr<JackSession>& jack, std::unique_ptr<Sink>& out) {
  std::unique_ptr<JackSink> sink;
  int rate = 0;
  const ResultCode rc = JackSink::open(jack, engine.audioClient(), config.idleSuspend, sink, rate);
  if (rc != MMSYSERR_NOERROR) return rc;
  // JACK sets the rate: the synth, made later with the font, renders at the server's.
  engine.setSampleRate(rate);
  return wrap(rc, sink, rate, out);
}

struct SinkKind {
  const char* name;
  ResultCode (*open)(SynthEngine&, const SynthConfig&, const std::shared_ptr<JackSession>&,
                     std::unique_ptr<Sink>&);
};

constexpr SinkKind kSinks[] = {
    {"pipewire", openPipeWire},
    {"pulseaudio", openPulse},
    {"jack", openJack},
};

}  // namespace

ResultCode openSink(const std::string& name, SynthEngine& engine, const SynthConfig& config,
                    const std::shared_ptr<JackSession>& jack, std::unique_ptr<Sink>& out) {
  out.reset();
  for (const SinkKind& kind : kSinks)
    if (name == kind.name) return kind.open(engine, config, jack, out);
  return DriverSink::open(name, engine, config, out);
}

}  // namespace midi
