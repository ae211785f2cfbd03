// SPDX-License-Identifier: GPL-3.0-or-later
#include "midi/synth/synth_output.h"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <string>
#include <system_error>
#include <utility>

#include "midi/log.h"

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
  // From here on no sink touches the engine, and the sinks go before the font's load is waited
  // for: a JACK sink's port names are free at once for the next Mapper.
  if (m_gate) m_gate->use(RenderGate::kNobody);
  Seated current;
  {
    std::lock_guard lock(m_sinkMutex);
    current = std::move(m_current);
  }
  m_waiting.clear();
  current.sink.reset();
  if (m_engine) m_engine->waitForLoad();  // its queued messages find no sink
}

ResultCode SynthOutput::openSeated(const std::string& name, std::chrono::milliseconds deadline,
                                   Seated& out) {
  out.name = name;
  const AudioClient client = m_gate->seat(out.seat);
  return openSink(name, *m_engine, m_config, client, deadline, m_jack, out.sink);
}

ResultCode SynthOutput::open(const SynthConfig& config, std::unique_ptr<SynthOutput>& out,
                             bool loadNow, std::shared_ptr<JackSession> jack) {
  using Clock = std::chrono::steady_clock;
  // Even a server asked after the chain's time is up has this long to say that it is not there.
  constexpr auto kLeast = std::chrono::milliseconds(25);
  prepareSynthPlatform();
  out.reset();
  std::unique_ptr<SynthOutput> s(new (std::nothrow) SynthOutput);
  if (!s) return MMSYSERR_NOMEM;
  if (const ResultCode rc =
          SynthEngine::make(config.soundFontSearch, config.sampleRate, config.gain, s->m_engine);
      rc != MMSYSERR_NOERROR)
    return rc;
  try {
    s->m_gate = RenderGate::make(s->m_engine->gateEngine());
  } catch (const std::bad_alloc&) {
    return MMSYSERR_NOMEM;
  }
  s->m_config = config;
  s->m_jack = std::move(jack);
  const auto chainEnd = Clock::now() + config.chainDeadline;
  for (const std::string& name : config.audioDrivers) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(chainEnd - Clock::now());
    Seated candidate;
    const auto deadline = std::clamp(left, kLeast, config.serverDeadline);
    const ResultCode rc = s->openSeated(name, deadline, candidate);
    if (rc == MMSYSERR_NOERROR) {
      logEvent(LogRoom::Synth, LogLevel::Debug, "sink", "MIDI Mapper: plays through " + name);
      s->m_gate->use(candidate.seat);
      s->m_current = std::move(candidate);
      break;
    }
    if (rc == MMSYSERR_NOMEM) return rc;
    if (candidate.sink) {  // it may answer yet
      logEvent(LogRoom::Synth, LogLevel::Warning, name + " late",
               "MIDI Mapper: " + name + " did not answer within " +
                   std::to_string(deadline.count()) + " ms; it is taken once it answers");
      s->m_waiting.push_back(std::move(candidate));
    }
  }
  if (!s->m_current.sink && s->m_waiting.empty()) return MMSYSERR_NODRIVER;
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
      if (!s->m_current.sink) return MMSYSERR_NODRIVER;
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
      const std::string name = better->name;
      better->sink.reset();
      keeper.unlock();
      Seated again;
      openSeated(name, m_config.serverDeadline, again);
      keeper.lock();
      *better = std::move(again);
      if (!better->sink || better->sink->state() != SinkState::Asleep) {
        if (!better->sink) m_waiting.erase(better);
        continue;
      }
    }
    Seated old;
    {
      std::lock_guard lock(m_sinkMutex);
      // Something sounds: not now. A message that comes after this look wakes the new sink.
      if (m_current.sink && m_current.sink->state() == SinkState::Running) continue;
      m_gate->use(better->seat);
      old = std::exchange(m_current, std::move(*better));
    }
    // Only this thread changes m_current while it runs.
    logEvent(LogRoom::Synth, LogLevel::Info, "sink taken",
             "MIDI Mapper: " + m_current.name + " answered late; it plays through it now");
    // The sinks ranked after the new one are no better than it.
    m_waiting.erase(better, m_waiting.end());
    keeper.unlock();
    old.sink.reset();  // may wait a moment for its server, on this thread
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
  // While no server has the sink nothing reaches the synth, so nothing plays in a burst or hangs
  // when one answers.
  if (!m_current.sink || !m_current.sink->play([&] { rc = m_engine->applyMessage(message); }))
    return MMSYSERR_NODRIVER;
  return rc;
}

void SynthOutput::whenLoadFails(std::function<void(ResultCode)> handler) {
  m_engine->whenLoadFails(std::move(handler));
}

std::string SynthOutput::audioDriver() const {
  std::lock_guard lock(m_sinkMutex);
  return m_current.sink ? m_current.name : "none";
}

double SynthOutput::bufferMilliseconds() const {
  std::lock_guard lock(m_sinkMutex);
  return m_current.sink ? m_current.sink->latencyMilliseconds() : 0.0;
}

bool SynthOutput::audioRunning() const {
  std::lock_guard lock(m_sinkMutex);
  return m_current.sink && m_current.sink->state() == SinkState::Running;
}

}  // namespace midi
