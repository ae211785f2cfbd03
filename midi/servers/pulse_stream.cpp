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

// The stream's thread uncorks on Message (onWake), corks and flushes on Quiet.
PulseStream::PulseStream(const PulseStreamConfig& config, const AudioClient& client)
    : StreamLife(client, "PulseAudio"), m_config(config) {}

void PulseStream::changed() { pl().pa_threaded_mainloop_signal(m_loop, 0); }

void PulseStream::wake() {
  const char byte = 1;
  // A full pipe already holds a wake-up; the write never blocks (O_NONBLOCK).
  [[maybe_unused]] const auto n = write(m_wakePipe[1], &byte, 1);
}

ResultCode PulseStream::open(const PulseStreamConfig& config, const AudioClient& client,
                             std::chrono::milliseconds deadline,
                             std::unique_ptr<PulseStream>& out) {
  out.reset();
  if (!pulseLibrary()) return MMSYSERR_NODRIVER;
  std::unique_ptr<PulseStream> s(new (std::nothrow) PulseStream(config, client));
  if (!s) return MMSYSERR_NOMEM;
  // Out of descriptors or threads: this stream cannot be had, the next sink may be.
  if (pipe2(s->m_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) return MMSYSERR_NODRIVER;
  s->m_loop = pl().pa_threaded_mainloop_new();
  if (!s->m_loop) return MMSYSERR_NODRIVER;
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
    return MMSYSERR_NODRIVER;

  // libpulse waits 30 s for a server that does not answer; the caller waits until the deadline,
  // which a timer of the stream's own thread marks.
  struct Deadline {
    pa_threaded_mainloop* loop;
    bool expired;
  } mark{s->m_loop, false};
  timeval when{};
  pl().pa_gettimeofday(&when);
  pl().pa_timeval_add(&when, static_cast<pa_usec_t>(deadline.count()) * PA_USEC_PER_MSEC);
  pl().pa_threaded_mainloop_lock(s->m_loop);
  pa_time_event* timer = api->time_new(
      api, &when,
      [](pa_mainloop_api*, pa_time_event*, const timeval*, void* due) {
        static_cast<Deadline*>(due)->expired = true;
        pl().pa_threaded_mainloop_signal(static_cast<Deadline*>(due)->loop, 0);
      },
      &mark);
  SinkState now = s->connectContext() ? SinkState::Connecting : SinkState::Lost;
  while (now == SinkState::Connecting && timer && !mark.expired) {
    pl().pa_threaded_mainloop_wait(s->m_loop);
    std::lock_guard lock(s->m_mutex);
    now = s->m_state;
  }
  if (timer) api->time_free(timer);
  pl().pa_threaded_mainloop_unlock(s->m_loop);
  if (now == SinkState::Asleep) {
    out = std::move(s);
    return MMSYSERR_NOERROR;
  }
  if (now == SinkState::Connecting) out = std::move(s);  // it answers late, or never
  return MMSYSERR_NODRIVER;  // otherwise the destructor stops the thread
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
      News news;
      {
        std::lock_guard lock(m_mutex);
        news = apply(SinkEvent::Accepted);  // it starts corked; the first message uncorks it
      }
      tell(news);
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
    auto* frames = static_cast<float*>(data);
    m_client.render(m_client.user, frames, frames + 1, 2, size / kFrameBytes);
    if (pl().pa_stream_write(m_stream, data, size, nullptr, 0, PA_SEEK_RELATIVE) < 0) break;
    bytes -= std::min(size, bytes);
  }
  sleepIfQuiet();
}

void PulseStream::sleepIfQuiet() {
  if (!quietFor(m_config.idleSleep) || m_client.sounding(m_client.user)) return;
  std::lock_guard lock(m_mutex);
  // A message that came since the first look has moved the last message's time under this lock.
  if (m_state != SinkState::Running || !quietFor(m_config.idleSleep)) return;
  apply(SinkEvent::Quiet);
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
  if (m_state != SinkState::Asleep || !m_stream) return;
  apply(SinkEvent::Message);
  unrefOperation(pl().pa_stream_cork(m_stream, 0, nullptr, nullptr));
}

void PulseStream::lose() {
  News news;
  {
    std::lock_guard lock(m_mutex);
    if (m_state == SinkState::Lost) return;  // its retry is already due
    news = apply(SinkEvent::Gone);
  }
  tell(news);
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
  {
    std::lock_guard lock(m_mutex);
    apply(SinkEvent::Retry);  // so that a failure here is a loss again, with its own retry
  }
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
