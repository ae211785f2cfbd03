// SPDX-License-Identifier: GPL-3.0-or-later
#include "midi/synth/synth_output.h"

#include <cstdlib>
#include <new>
#include <system_error>
#include <utility>

namespace midi {

namespace {

// How often a sink still waiting for its server is looked at.
constexpr auto kKeeperInterval = std::chrono::milliseconds(250);

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
  // PipeWire's own stream before pipewire-pulse: a short quantum rather than a 16 ms buffer.
  c.audioDrivers = {"pipewire", "pulseaudio", "jack", "alsa"};
  return c;
}

SynthOutput::~SynthOutput() {
  {
    std::lock_guard lock(m_keeperMutex);
    m_stopping = true;
  }
  m_keeperWake.notify_all();
  if (m_keeper.joinable()) m_keeper.join();
  if (m_engine) m_engine->waitForLoad();  // it plays its queued messages into the sink
  // m_waiting, m_sink, then the engine go, in that order.
}

ResultCode SynthOutput::open(const SynthConfig& config, std::unique_ptr<SynthOutput>& out,
                             bool loadNow, std::shared_ptr<JackSession> jack) {
  prepareSynthPlatform();
  out.reset();
  std::unique_ptr<SynthOutput> s(new (std::nothrow) SynthOutput);
  if (!s) return MMSYSERR_NOMEM;
  if (const ResultCode rc =
          SynthEngine::make(config.soundFontSearch, config.sampleRate, config.gain, s->m_engine);
      rc != MMSYSERR_NOERROR)
    return rc;
  s->m_config = config;
  s->m_jack = std::move(jack);
  for (const std::string& name : config.audioDrivers) {
    std::unique_ptr<Sink> sink;
    const ResultCode rc = openSink(name, *s->m_engine, config, s->m_jack, sink);
    if (rc == MMSYSERR_NOERROR) {
      s->m_sink = std::move(sink);
      s->m_sinkName = name;
      break;
    }
    if (rc == MMSYSERR_NOMEM) return rc;
    if (sink) s->m_waiting.push_back({name, std::move(sink)});  // it may answer yet
  }
  if (!s->m_sink) return MMSYSERR_NODRIVER;
  s->m_engine->setDeliver([self = s.get()](std::uint32_t message) { self->deliver(message); });
  if (loadNow) {
    const ResultCode loading = s->m_engine->startLoading();
    if (loading != MMSYSERR_NOERROR) return loading;
  }
  if (!s->m_waiting.empty()) {
    try {
      s->m_keeper = std::thread(&SynthOutput::takeBackBetterSinks, s.get());
    } catch (const std::system_error&) {
      s->m_waiting.clear();  // the sink in use stays
    }
  }
  out = std::move(s);
  return MMSYSERR_NOERROR;
}

void SynthOutput::takeBackBetterSinks() {
  std::unique_lock keeper(m_keeperMutex);
  while (!m_stopping && !m_waiting.empty()) {
    m_keeperWake.wait_for(keeper, kKeeperInterval);
    if (m_stopping) break;
    auto better = m_waiting.begin();
    while (better != m_waiting.end() && better->sink->state() != SinkState::Asleep) ++better;
    if (better == m_waiting.end()) continue;
    if (better->sink->sampleRate() != m_engine->sampleRate()) {
      // Opened before the sink in use set the synth's rate: open it again, at that rate; its
      // server answers now.
      better->sink.reset();
      keeper.unlock();
      openSink(better->name, *m_engine, m_config, m_jack, better->sink);
      keeper.lock();
      if (!better->sink || better->sink->state() != SinkState::Asleep) {
        if (!better->sink) m_waiting.erase(better);
        continue;
      }
    }
    std::unique_ptr<Sink> old;
    {
      std::lock_guard lock(m_sinkMutex);
      if (m_sink->state() == SinkState::Running) continue;  // something sounds: not now
      old = std::exchange(m_sink, std::move(better->sink));
      m_sinkName = better->name;
    }
    // The sinks ranked after the new one are no better than it.
    m_waiting.erase(better, m_waiting.end());
    keeper.unlock();
    old.reset();  // may wait a moment for its server, on this thread
    keeper.lock();
  }
  // Whatever still waits is let go with the output.
}

ResultCode SynthOutput::send(std::uint32_t message) {
  bool deliverNow = false;
  const ResultCode rc = m_engine->admit(message, deliverNow);
  if (rc != MMSYSERR_NOERROR || !deliverNow) return rc;
  return deliver(message);
}

ResultCode SynthOutput::deliver(std::uint32_t message) {
  ResultCode rc = MMSYSERR_NOERROR;
  std::lock_guard lock(m_sinkMutex);
  // While the sound server is gone nothing reaches the synth, so nothing plays in a burst or
  // hangs when it comes back.
  if (!m_sink->play([&] { rc = m_engine->applyMessage(message); })) return MMSYSERR_NODRIVER;
  return rc;
}

void SynthOutput::whenLoadFails(std::function<void(ResultCode)> handler) {
  m_engine->whenLoadFails(std::move(handler));
}

std::string SynthOutput::audioDriver() const {
  std::lock_guard lock(m_sinkMutex);
  return m_sinkName;
}

double SynthOutput::bufferMilliseconds() const {
  std::lock_guard lock(m_sinkMutex);
  return m_sink->latencyMilliseconds();
}

bool SynthOutput::audioRunning() const {
  std::lock_guard lock(m_sinkMutex);
  return m_sink->state() == SinkState::Running;
}

}  // namespace midi
