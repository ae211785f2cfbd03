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
  int sampleRate() const override {
    if constexpr (requires { m_stream->sampleRate(); })
      return m_stream->sampleRate();  // the server's, once it has answered
    else
      return m_rate;
  }

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

// FluidSynth's own driver (ALSA where no sound server runs; a file in the tests), made, started
// and deleted on a thread of the sink's own. ALSA's default device is often a sound server's
// plugin (PulseAudio's or PipeWire's), and opening it then waits as long as that server hangs:
// the caller waits for the first outcome until its deadline and never again, and closing leaves
// behind a thread that such a server holds. Idle, the driver is deleted, and the next message has
// the thread make a new one. The driver renders through the sink's seat, on settings of its own,
// so that a thread left behind touches nothing of the synthesizer's; FluidSynth's file driver
// takes no callback and renders the synth itself.
class DriverSink final : public Sink {
 public:
  static ResultCode open(const std::string& name, SynthEngine& engine, const SynthConfig& config,
                         const AudioClient& client, std::chrono::milliseconds deadline,
                         std::unique_ptr<Sink>& out);
  ~DriverSink() override;

  bool play(const std::function<void()>& apply) override;
  SinkState state() const override {
    std::lock_guard lock(m_shared->mutex);
    return m_shared->state;
  }
  double latencyMilliseconds() const override {
    return 1000.0 * m_shared->periodSize * m_shared->periods / m_shared->rate;
  }
  int sampleRate() const override { return m_shared->rate; }

 private:
  struct SettingsDeleter {
    void operator()(fluid_settings_t* s) const { fluidLibrary()->delete_fluid_settings(s); }
  };
  struct DriverDeleter {
    void operator()(fluid_audio_driver_t* d) const { fluidLibrary()->delete_fluid_audio_driver(d); }
  };
  using Driver = std::unique_ptr<fluid_audio_driver_t, DriverDeleter>;
  // What the sink's thread owns with the sink, and keeps if it is left behind.
  struct Shared {
    AudioClient client;
    fluid_synth_t* synth = nullptr;  // the file driver's: it renders the synth itself
    std::unique_ptr<fluid_settings_t, SettingsDeleter> settings;
    std::chrono::milliseconds idle{};
    int periodSize = 0;
    int periods = 0;
    int rate = 0;
    std::mutex mutex;
    std::condition_variable changed;
    SinkState state = SinkState::Connecting;
    bool wanted = true;  // a driver is to be made: the first, or one for a message
    bool stopping = false;
    bool finished = false;
    std::chrono::steady_clock::time_point lastMessage{};
    Driver make();
    bool sounding();
  };
  explicit DriverSink(std::shared_ptr<Shared> shared) : m_shared(std::move(shared)) {}
  static void run(const std::shared_ptr<Shared>& s);

  // How long closing waits for the thread to delete its driver before leaving it behind.
  static constexpr auto kLeaveBehind = std::chrono::milliseconds(200);
  std::shared_ptr<Shared> m_shared;
};

ResultCode DriverSink::open(const std::string& name, SynthEngine& engine, const SynthConfig& config,
                            const AudioClient& client, std::chrono::milliseconds deadline,
                            std::unique_ptr<Sink>& out) {
  const FluidLibrary& fl = *fluidLibrary();
  std::shared_ptr<Shared> s;
  try {
    s = std::make_shared<Shared>();
  } catch (const std::bad_alloc&) {
    return MMSYSERR_NOMEM;
  }
  s->client = client;
  s->idle = config.idleSuspend;
  s->rate = engine.sampleRate();
  s->settings.reset(fl.new_fluid_settings());
  if (!s->settings) return MMSYSERR_NOMEM;
  fluid_settings_t* settings = s->settings.get();
  if (fl.fluid_settings_setstr(settings, "audio.driver", name.c_str()) != FLUID_OK)
    return MMSYSERR_NODRIVER;
  fl.fluid_settings_setint(settings, "audio.period-size", config.periodSize);
  fl.fluid_settings_setint(settings, "audio.periods", config.periods);
  fl.fluid_settings_setnum(settings, "synth.sample-rate", s->rate);
  fl.fluid_settings_getint(settings, "audio.period-size", &s->periodSize);
  fl.fluid_settings_getint(settings, "audio.periods", &s->periods);
  if (name == "file" && !(s->synth = engine.synth())) return MMSYSERR_NOMEM;
  try {
    std::thread(run, s).detach();
  } catch (const std::system_error&) {
    return MMSYSERR_NODRIVER;  // no thread to be had: the next sink may be
  }
  std::unique_lock lock(s->mutex);
  s->changed.wait_for(lock, deadline, [&] { return s->state != SinkState::Connecting; });
  const SinkState now = s->state;
  lock.unlock();
  if (now == SinkState::Lost) return MMSYSERR_NODRIVER;  // the thread lets itself go
  out.reset(new (std::nothrow) DriverSink(s));
  if (!out) return MMSYSERR_NOMEM;
  return now == SinkState::Connecting ? MMSYSERR_NODRIVER : MMSYSERR_NOERROR;
}

DriverSink::~DriverSink() {
  std::unique_lock lock(m_shared->mutex);
  m_shared->stopping = true;
  m_shared->changed.notify_all();
  // The file driver renders the synth, which goes after this: it is always waited for.
  if (m_shared->synth)
    m_shared->changed.wait(lock, [this] { return m_shared->finished; });
  else
    m_shared->changed.wait_for(lock, kLeaveBehind, [this] { return m_shared->finished; });
}

bool DriverSink::play(const std::function<void()>& apply) {
  std::lock_guard lock(m_shared->mutex);
  if (m_shared->state == SinkState::Lost || m_shared->state == SinkState::Connecting) return false;
  apply();
  m_shared->lastMessage = std::chrono::steady_clock::now();
  if (m_shared->state == SinkState::Asleep) {
    m_shared->state = nextSinkState(m_shared->state, SinkEvent::Message);
    m_shared->wanted = true;  // the thread makes the driver; the note sounds once it runs
    m_shared->changed.notify_all();
  }
  return true;
}

DriverSink::Driver DriverSink::Shared::make() {
  const FluidLibrary& fl = *fluidLibrary();
  if (synth) return Driver(fl.new_fluid_audio_driver(settings.get(), synth));
  auto callback = [](void* self, int len, int, float*[], int nout, float* out[]) {
    const AudioClient& c = static_cast<Shared*>(self)->client;
    if (nout >= 2) c.render(c.user, out[0], out[1], 1, static_cast<std::size_t>(len));
    return FLUID_OK;
  };
  return Driver(fl.new_fluid_audio_driver2(settings.get(), callback, this));
}

bool DriverSink::Shared::sounding() {
  if (synth) return fluidLibrary()->fluid_synth_get_active_voice_count(synth) > 0;
  return client.sounding(client.user);
}

// The sink's life on its thread: the first driver shows whether the device answers; then the
// driver is deleted whenever nothing has sounded for the idle time, and made again for the next
// message. A driver that cannot be made ends the sink (Lost): FluidSynth's drivers cannot follow
// a device that comes back.
void DriverSink::run(const std::shared_ptr<Shared>& s) {
  Driver driver;
  std::unique_lock lock(s->mutex);
  while (!s->stopping) {
    if (!driver && s->wanted) {
      s->wanted = false;
      lock.unlock();
      driver = s->make();  // may wait as long as a sound server behind the device hangs
      lock.lock();
      if (!driver) {
        s->state = nextSinkState(s->state, SinkEvent::Gone);
        break;
      }
      // The first driver: accepted, and asleep at once until a message comes.
      if (s->state == SinkState::Connecting)
        s->state = nextSinkState(s->state, SinkEvent::Accepted);
      s->changed.notify_all();
      continue;
    }
    if (!driver) {
      s->changed.wait(lock, [&] { return s->stopping || s->wanted; });
      continue;
    }
    const auto quietSince = s->lastMessage + s->idle;
    if (s->state == SinkState::Running && std::chrono::steady_clock::now() < quietSince) {
      s->changed.wait_until(lock, quietSince);
      continue;
    }
    if (s->state == SinkState::Running && s->sounding()) {
      // A key is held or a note still rings out: look again in a while.
      s->changed.wait_for(lock, std::chrono::milliseconds(500));
      continue;
    }
    // Deleting a driver may wait for the sound server: a message that comes meanwhile is played
    // by the synth and asks for a new driver.
    s->state = nextSinkState(s->state, SinkEvent::Quiet);
    lock.unlock();
    driver.reset();
    lock.lock();
  }
  lock.unlock();
  driver.reset();
  lock.lock();
  s->finished = true;
  s->changed.notify_all();
}

ResultCode openPipeWire(SynthEngine& engine, const SynthConfig& config, const AudioClient& client,
                        std::chrono::milliseconds deadline, const std::shared_ptr<JackSession>&,
                        std::unique_ptr<Sink>& out) {
  PipeWireStreamConfig pipeWire;
  pipeWire.sampleRate = engine.sampleRate();
  pipeWire.quantum = config.pipeWireQuantum * pipeWire.sampleRate / config.sampleRate;
  pipeWire.idleSleep = config.idleSuspend;
  std::unique_ptr<PipeWireStream> stream;
  const ResultCode rc = PipeWireStream::open(pipeWire, client, deadline, stream);
  return wrap(rc, stream, pipeWire.sampleRate, out);
}

ResultCode openPulse(SynthEngine& engine, const SynthConfig& config, const AudioClient& client,
                     std::chrono::milliseconds deadline, const std::shared_ptr<JackSession>&,
                     std::unique_ptr<Sink>& out) {
  PulseStreamConfig pulse;
  pulse.sampleRate = engine.sampleRate();
  pulse.targetLatency = config.pulseLatency;
  pulse.idleSleep = config.idleSuspend;
  std::unique_ptr<PulseStream> stream;
  const ResultCode rc = PulseStream::open(pulse, client, deadline, stream);
  return wrap(rc, stream, pulse.sampleRate, out);
}

ResultCode openJack(SynthEngine& engine, const SynthConfig& config, const AudioClient& client,
                    std::chrono::milliseconds deadline, const std::shared_ptr<JackSession>& jack,
                    std::unique_ptr<Sink>& out) {
  std::unique_ptr<JackSink> sink;
  int rate = 0;
  const ResultCode rc = JackSink::open(jack, client, config.idleSuspend, deadline, sink, rate);
  if (rc != MMSYSERR_NOERROR) return wrap(rc, sink, rate, out);  // a session that did not answer
  // JACK sets the rate: the synth, made later with the font, renders at the server's.
  engine.setSampleRate(rate);
  return wrap(rc, sink, rate, out);
}

struct SinkKind {
  const char* name;
  ResultCode (*open)(SynthEngine&, const SynthConfig&, const AudioClient&,
                     std::chrono::milliseconds, const std::shared_ptr<JackSession>&,
                     std::unique_ptr<Sink>&);
};

constexpr SinkKind kSinks[] = {
    {"pipewire", openPipeWire},
    {"pulseaudio", openPulse},
    {"jack", openJack},
};

}  // namespace

ResultCode openSink(const std::string& name, SynthEngine& engine, const SynthConfig& config,
                    const AudioClient& client, std::chrono::milliseconds deadline,
                    const std::shared_ptr<JackSession>& jack, std::unique_ptr<Sink>& out) {
  out.reset();
  for (const SinkKind& kind : kSinks)
    if (name == kind.name) return kind.open(engine, config, client, deadline, jack, out);
  return DriverSink::open(name, engine, config, client, deadline, out);
}

}  // namespace midi
