// SPDX-License-Identifier: GPL-3.0-or-later
#include "midi/servers/pulse_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <new>

#include "midi/servers/pulse_library.h"

namespace midi {

namespace {

// Only called once open() has found the library.
const PulseLibrary& pl() { return *pulseLibrary(); }

constexpr std::size_t kFrameBytes = 2 * sizeof(float);  // interleaved stereo float

std::int64_t nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void unrefOperation(pa_operation* o) {
  if (o) pl().pa_operation_unref(o);
}

}  // namespace

const PulseLibrary* pulseLibrary() {
  static const PulseLibrary* const opened = [] {
    static PulseLibrary library;
    return openRunTimeLibrary("libpulse.so.0", {TAMRELS_PULSE_FUNCTIONS(TAMRELS_LOOKUP_FUNCTION)})
               ? &library
               : nullptr;
  }();
  return opened;
}

PulseStream::PulseStream(const PulseStreamConfig& config, const PulseStreamClient& client)
    : m_config(config), m_client(client) {}

// Every change of state goes through here, with m_mutex held:
//   Reconnecting -> Asleep        the server accepted a (corked) stream
//   Asleep       -> Running       a message came (uncorked on the stream's thread)
//   Running      -> Asleep        nothing has sounded for idleSleep (corked and flushed)
//   any          -> Lost          the context or the stream failed; voices are switched off
//   Lost         -> Reconnecting  the retry timer made a new context
void PulseStream::setState(State next) {
  m_state = next;
  if (next == State::Lost) {
    m_wakePending = false;
    if (m_client.lost) m_client.lost(m_client.user);
  }
  pl().pa_threaded_mainloop_signal(m_loop, 0);  // open() waits for the first outcome
}

PulseStream::State PulseStream::state() const {
  std::lock_guard lock(m_mutex);
  return m_state;
}

void PulseStream::noteMessage() {
  m_lastMessageNs.store(nowNs());
  if (m_state != State::Asleep || m_wakePending) return;
  m_wakePending = true;
  const char byte = 1;
  // A full pipe already holds a wake-up; the write never blocks (O_NONBLOCK).
  [[maybe_unused]] const auto n = write(m_wakePipe[1], &byte, 1);
}

ResultCode PulseStream::open(const PulseStreamConfig& config, const PulseStreamClient& client,
                             std::unique_ptr<PulseStream>& out) {
  out.reset();
  if (!pulseLibrary()) return MMSYSERR_NODRIVER;
  std::unique_ptr<PulseStream> s(new (std::nothrow) PulseStream(config, client));
  if (!s) return MMSYSERR_NOMEM;
  if (pipe2(s->m_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) return MMSYSERR_NOMEM;
  s->m_loop = pl().pa_threaded_mainloop_new();
  if (!s->m_loop) return MMSYSERR_NOMEM;
  pl().pa_threaded_mainloop_set_name(s->m_loop, "mapper-audio");
  pa_mainloop_api* api = pl().pa_threaded_mainloop_get_api(s->m_loop);
  s->m_wakeEvent = api->io_new(
      api, s->m_wakePipe[0], PA_IO_EVENT_INPUT,
      [](pa_mainloop_api*, pa_io_event*, int, pa_io_event_flags_t, void* self) {
        static_cast<PulseStream*>(self)->onWake();
      },
      s.get());
  s->m_retry = api->time_new(
      api, nullptr,
      [](pa_mainloop_api*, pa_time_event*, const timeval*, void* self) {
        static_cast<PulseStream*>(self)->onRetry();
      },
      s.get());
  if (!s->m_wakeEvent || !s->m_retry || pl().pa_threaded_mainloop_start(s->m_loop) < 0)
    return MMSYSERR_NOMEM;

  pl().pa_threaded_mainloop_lock(s->m_loop);
  bool accepted = s->connectContext();
  for (State now = State::Reconnecting; accepted; pl().pa_threaded_mainloop_wait(s->m_loop)) {
    {
      std::lock_guard lock(s->m_mutex);
      now = s->m_state;
    }
    if (now != State::Reconnecting) {
      accepted = now == State::Asleep;
      break;
    }
  }
  pl().pa_threaded_mainloop_unlock(s->m_loop);
  if (!accepted) return MMSYSERR_NODRIVER;  // the destructor stops the thread
  out = std::move(s);
  return MMSYSERR_NOERROR;
}

PulseStream::~PulseStream() {
  if (m_loop) {
    pl().pa_threaded_mainloop_lock(m_loop);
    dropConnection();
    pa_mainloop_api* api = pl().pa_threaded_mainloop_get_api(m_loop);
    if (m_wakeEvent) api->io_free(m_wakeEvent);
    if (m_retry) api->time_free(m_retry);
    pl().pa_threaded_mainloop_unlock(m_loop);
    pl().pa_threaded_mainloop_stop(m_loop);
    pl().pa_threaded_mainloop_free(m_loop);
  }
  for (int fd : m_wakePipe)
    if (fd >= 0) close(fd);
}

bool PulseStream::connectContext() {
  m_context = pl().pa_context_new(pl().pa_threaded_mainloop_get_api(m_loop), "Tamrels Midi Piano");
  if (!m_context) {
    lose();
    return false;
  }
  pl().pa_context_set_state_callback(
      m_context, [](pa_context*, void* self) { static_cast<PulseStream*>(self)->onContextState(); },
      this);
  {
    std::lock_guard lock(m_mutex);
    setState(State::Reconnecting);
  }
  // A sound server is never started on the user's behalf.
  if (pl().pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    lose();
    return false;
  }
  return true;
}

void PulseStream::onContextState() {
  switch (pl().pa_context_get_state(m_context)) {
    case PA_CONTEXT_READY: makeStream(); break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED: lose(); break;
    default: break;
  }
}

void PulseStream::makeStream() {
  const pa_sample_spec format{PA_SAMPLE_FLOAT32NE, static_cast<std::uint32_t>(m_config.sampleRate),
                              2};
  m_stream = pl().pa_stream_new(m_context, "MIDI Mapper", &format, nullptr);
  if (!m_stream) {
    lose();
    return;
  }
  pl().pa_stream_set_state_callback(
      m_stream, [](pa_stream*, void* self) { static_cast<PulseStream*>(self)->onStreamState(); },
      this);
  pl().pa_stream_set_write_callback(
      m_stream,
      [](pa_stream*, std::size_t bytes, void* self) {
        static_cast<PulseStream*>(self)->onWrite(bytes);
      },
      this);
  // Ask for the whole latency and let the server split it between its buffer and the sink; the
  // server is woken for more audio twice per buffer rather than at every small period.
  const auto target = static_cast<std::uint32_t>(
      pl().pa_usec_to_bytes(static_cast<pa_usec_t>(m_config.targetLatency.count()), &format));
  pa_buffer_attr attr{};
  attr.maxlength = static_cast<std::uint32_t>(-1);
  attr.tlength = target;
  attr.prebuf = static_cast<std::uint32_t>(-1);
  attr.minreq = static_cast<std::uint32_t>(-1);
  attr.fragsize = static_cast<std::uint32_t>(-1);
  const auto flags =
      static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY);
  if (pl().pa_stream_connect_playback(m_stream, nullptr, &attr, flags, nullptr, nullptr) < 0)
    lose();
}

void PulseStream::onStreamState() {
  switch (pl().pa_stream_get_state(m_stream)) {
    case PA_STREAM_READY: {
      const pa_buffer_attr* granted = pl().pa_stream_get_buffer_attr(m_stream);
      const pa_sample_spec* format = pl().pa_stream_get_sample_spec(m_stream);
      if (granted && format)
        m_latencyMs.store(static_cast<double>(pl().pa_bytes_to_usec(granted->tlength, format)) /
                          1000.0);
      std::lock_guard lock(m_mutex);
      setState(State::Asleep);  // it starts corked; the first message uncorks it
      break;
    }
    case PA_STREAM_FAILED:
    case PA_STREAM_TERMINATED: lose(); break;
    default: break;
  }
}

void PulseStream::onWrite(std::size_t bytes) {
  while (bytes >= kFrameBytes) {
    void* data = nullptr;
    std::size_t size = bytes;
    if (pl().pa_stream_begin_write(m_stream, &data, &size) < 0 || !data) break;
    size -= size % kFrameBytes;
    if (size == 0) {
      pl().pa_stream_cancel_write(m_stream);
      break;
    }
    m_client.render(m_client.user, static_cast<float*>(data), size / kFrameBytes);
    if (pl().pa_stream_write(m_stream, data, size, nullptr, 0, PA_SEEK_RELATIVE) < 0) break;
    bytes -= std::min(size, bytes);
  }
  sleepIfQuiet();
}

void PulseStream::sleepIfQuiet() {
  const std::int64_t idleNs =
      std::chrono::duration_cast<std::chrono::nanoseconds>(m_config.idleSleep).count();
  if (nowNs() - m_lastMessageNs.load() < idleNs || m_client.sounding(m_client.user)) return;
  std::lock_guard lock(m_mutex);
  // A message that came since the first look has moved m_lastMessageNs under this lock.
  if (m_state != State::Running || nowNs() - m_lastMessageNs.load() < idleNs) return;
  setState(State::Asleep);
  unrefOperation(pl().pa_stream_cork(m_stream, 1, nullptr, nullptr));
  // What the server still holds is silence; without it the next note starts at once.
  unrefOperation(pl().pa_stream_flush(m_stream, nullptr, nullptr));
}

void PulseStream::onWake() {
  char buffer[16];
  while (read(m_wakePipe[0], buffer, sizeof buffer) > 0) {
  }
  std::lock_guard lock(m_mutex);
  m_wakePending = false;
  if (m_state != State::Asleep || !m_stream) return;
  setState(State::Running);
  unrefOperation(pl().pa_stream_cork(m_stream, 0, nullptr, nullptr));
}

void PulseStream::lose() {
  {
    std::lock_guard lock(m_mutex);
    if (m_state == State::Lost) return;
    setState(State::Lost);
  }
  // The dead context and stream are let go on the retry, outside their own callbacks.
  if (m_stream) {
    pl().pa_stream_set_state_callback(m_stream, nullptr, nullptr);
    pl().pa_stream_set_write_callback(m_stream, nullptr, nullptr);
  }
  if (m_context) pl().pa_context_set_state_callback(m_context, nullptr, nullptr);
  scheduleRetry();
}

void PulseStream::scheduleRetry() {
  timeval when{};
  pl().pa_gettimeofday(&when);
  pl().pa_timeval_add(&when,
                      static_cast<pa_usec_t>(m_config.retryInterval.count()) * PA_USEC_PER_MSEC);
  pa_mainloop_api* api = pl().pa_threaded_mainloop_get_api(m_loop);
  api->time_restart(m_retry, &when);
}

void PulseStream::onRetry() {
  dropConnection();
  connectContext();  // a failure schedules the next retry
}

void PulseStream::dropConnection() {
  if (m_stream) {
    pl().pa_stream_set_state_callback(m_stream, nullptr, nullptr);
    pl().pa_stream_set_write_callback(m_stream, nullptr, nullptr);
    pl().pa_stream_disconnect(m_stream);
    pl().pa_stream_unref(m_stream);
    m_stream = nullptr;
  }
  if (m_context) {
    pl().pa_context_set_state_callback(m_context, nullptr, nullptr);
    pl().pa_context_disconnect(m_context);
    pl().pa_context_unref(m_context);
    m_context = nullptr;
  }
}

}  // namespace midi
