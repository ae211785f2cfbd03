// SPDX-License-Identifier: GPL-3.0-or-later
#include "midi/servers/pipewire_stream.h"

#include <spa/param/audio/format-utils.h>
#include <spa/pod/builder.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "midi/servers/client_name.h"
#include "midi/servers/pipewire_library.h"

namespace midi {

namespace {

// Only called once open() has found the library.
const PipeWireLibrary& pw() { return *pipeWireLibrary(); }

constexpr std::uint32_t kFrameBytes = 2 * sizeof(float);  // interleaved stereo float

// Whether the server's socket may be there. libpipewire and a client context cost ~3.5 ms of CPU
// before a connection can be refused, on every machine without PipeWire and at every start-up;
// where the socket is plainly missing that is saved. Where its place is not plain (no runtime
// folder named), libpipewire looks for itself.
bool socketMayBeThere() {
  const char* remote = std::getenv("PIPEWIRE_REMOTE");
  std::string name = remote && *remote ? remote : "pipewire-0";
  if (name.front() != '/') {
    const char* dir = std::getenv("PIPEWIRE_RUNTIME_DIR");
    if (!dir || !*dir) dir = std::getenv("XDG_RUNTIME_DIR");
    if (!dir || !*dir) return true;
    name = std::string(dir) + "/" + name;
  }
  return access(name.c_str(), F_OK) == 0;
}

}  // namespace

const PipeWireLibrary* pipeWireLibrary() {
  static const PipeWireLibrary* const opened = [] {
    static PipeWireLibrary library;
    if (!openRunTimeLibrary("libpipewire-0.3.so.0",
                            {TAMRELS_PIPEWIRE_FUNCTIONS(TAMRELS_LOOKUP_FUNCTION)}))
      return static_cast<PipeWireLibrary*>(nullptr);
    library.pw_init(nullptr, nullptr);
    // A server that goes away is expected here, and the terminal is the user's.
    library.pw_log_set_level(SPA_LOG_LEVEL_NONE);
    return &library;
  }();
  return opened;
}

// The listeners libpipewire calls back through; they live as long as the stream object.
struct PipeWireStream::Hooks {
  spa_hook core{};
  spa_hook registry{};
  spa_hook stream{};
  pw_core_events coreEvents{};
  pw_registry_events registryEvents{};
  pw_stream_events streamEvents{};
};

// The loop's thread makes the stream active on Message (onEvent), inactive on Quiet.
PipeWireStream::PipeWireStream(const PipeWireStreamConfig& config, const AudioClient& client)
    : StreamLife(client, "PipeWire"), m_config(config) {}

void PipeWireStream::changed() { pw().pw_thread_loop_signal(m_loop, false); }

double PipeWireStream::latencyMilliseconds() const {
  const std::uint32_t frames = m_quantum.load();
  return 1000.0 * (frames ? frames : m_config.quantum) / m_config.sampleRate;
}

void PipeWireStream::wake() {
  pw_loop_signal_event(pw().pw_thread_loop_get_loop(m_loop), m_event);  // an eventfd: no wait
}

ResultCode PipeWireStream::open(const PipeWireStreamConfig& config, const AudioClient& client,
                                std::chrono::milliseconds deadline,
                                std::unique_ptr<PipeWireStream>& out) {
  out.reset();
  if (!socketMayBeThere() || !pipeWireLibrary()) return MMSYSERR_NODRIVER;
  std::unique_ptr<PipeWireStream> s(new (std::nothrow) PipeWireStream(config, client));
  if (!s) return MMSYSERR_NOMEM;
  s->m_hooks.reset(new (std::nothrow) Hooks);
  if (!s->m_hooks) return MMSYSERR_NOMEM;
  s->m_hooks->coreEvents.version = PW_VERSION_CORE_EVENTS;
  s->m_hooks->coreEvents.error = [](void* self, std::uint32_t id, int, int, const char*) {
    // An error of the connection itself (the server died: -EPIPE) ends the stream too.
    if (id == PW_ID_CORE) static_cast<PipeWireStream*>(self)->lose();
  };
  s->m_hooks->coreEvents.done = [](void* self, std::uint32_t id, int seq) {
    auto* stream = static_cast<PipeWireStream*>(self);
    if (id != PW_ID_CORE || seq != stream->m_listing) return;
    stream->m_listed = true;  // every global the server had is known now
    stream->acceptIfHeard();
  };
  s->m_hooks->registryEvents.version = PW_VERSION_REGISTRY_EVENTS;
  s->m_hooks->registryEvents.global = [](void* self, std::uint32_t id, std::uint32_t,
                                         const char* type, std::uint32_t, const spa_dict* props) {
    const char* kind = props ? spa_dict_lookup(props, PW_KEY_MEDIA_CLASS) : nullptr;
    if (std::string_view(type) == PW_TYPE_INTERFACE_Node && kind &&
        std::string_view(kind) == "Audio/Sink")
      static_cast<PipeWireStream*>(self)->m_sinks.insert(id);
  };
  s->m_hooks->registryEvents.global_remove = [](void* self, std::uint32_t id) {
    static_cast<PipeWireStream*>(self)->m_sinks.erase(id);
  };
  s->m_hooks->streamEvents.version = PW_VERSION_STREAM_EVENTS;
  s->m_hooks->streamEvents.state_changed = [](void* self, pw_stream_state, pw_stream_state state,
                                              const char*) {
    static_cast<PipeWireStream*>(self)->onStreamState(state);
  };
  s->m_hooks->streamEvents.process = [](void* self) {
    static_cast<PipeWireStream*>(self)->onProcess();
  };

  // No descriptors or threads to be had: this sink cannot be, the next may be.
  s->m_loop = pw().pw_thread_loop_new("mapper-pipewire", nullptr);
  if (!s->m_loop) return MMSYSERR_NODRIVER;
  pw_loop* loop = pw().pw_thread_loop_get_loop(s->m_loop);
  s->m_context = pw().pw_context_new(loop, nullptr, 0);
  if (!s->m_context) return MMSYSERR_NODRIVER;
  s->m_event = pw_loop_add_event(
      loop, [](void* self, std::uint64_t) { static_cast<PipeWireStream*>(self)->onEvent(); },
      s.get());
  s->m_retry = pw_loop_add_timer(
      loop, [](void* self, std::uint64_t) { static_cast<PipeWireStream*>(self)->onRetry(); },
      s.get());
  if (!s->m_event || !s->m_retry || pw().pw_thread_loop_start(s->m_loop) < 0)
    return MMSYSERR_NODRIVER;

  pw().pw_thread_loop_lock(s->m_loop);
  timespec until{};
  pw().pw_thread_loop_get_time(
      s->m_loop, &until, std::chrono::duration_cast<std::chrono::nanoseconds>(deadline).count());
  SinkState now = s->connect() ? SinkState::Connecting : SinkState::Lost;
  bool late = false;
  while (now == SinkState::Connecting && !late) {
    late = pw().pw_thread_loop_timed_wait_full(s->m_loop, &until) != 0;
    std::lock_guard lock(s->m_mutex);
    now = s->m_state;
  }
  pw().pw_thread_loop_unlock(s->m_loop);
  if (now == SinkState::Asleep) {
    out = std::move(s);
    return MMSYSERR_NOERROR;
  }
  if (now == SinkState::Connecting) out = std::move(s);  // it answers late, or never
  return MMSYSERR_NODRIVER;
}

PipeWireStream::~PipeWireStream() {
  if (!m_loop) return;
  // Once the loop's thread has stopped, nothing calls back; PipeWire's real-time thread stops
  // calling the stream inside pw_stream_destroy.
  pw().pw_thread_loop_stop(m_loop);
  dropConnection();
  pw_loop* loop = pw().pw_thread_loop_get_loop(m_loop);
  if (m_event) pw_loop_destroy_source(loop, m_event);
  if (m_retry) pw_loop_destroy_source(loop, m_retry);
  if (m_context) pw().pw_context_destroy(m_context);
  pw().pw_thread_loop_destroy(m_loop);
}

bool PipeWireStream::connect() {
  // A socket connect: a server that hangs still accepts it, and then never answers.
  m_core = pw().pw_context_connect(m_context, nullptr, 0);
  if (!m_core) {
    lose();
    return false;
  }
  pw_core_add_listener(m_core, &m_hooks->core, &m_hooks->coreEvents, this);
  // The sinks the server has: a PipeWire that serves video alone (beside PulseAudio) takes a
  // stream and never plays it.
  m_sinks.clear();
  m_paused = false;
  m_registry = pw_core_get_registry(m_core, PW_VERSION_REGISTRY, 0);
  if (m_registry)
    pw_registry_add_listener(m_registry, &m_hooks->registry, &m_hooks->registryEvents, this);
  m_listed = false;
  m_listing = pw_core_sync(m_core, PW_ID_CORE, 0);
  const std::string latency =
      std::to_string(m_config.quantum) + "/" + std::to_string(m_config.sampleRate);
  pw_properties* props = pw().pw_properties_new(
      PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_MEDIA_ROLE, "Music",
      PW_KEY_NODE_NAME, kClientName, PW_KEY_NODE_DESCRIPTION, "MIDI Mapper", PW_KEY_APP_NAME,
      kClientName, PW_KEY_NODE_LATENCY, latency.c_str(), nullptr);
  m_stream = props ? pw().pw_stream_new(m_core, "MIDI Mapper", props) : nullptr;  // owns props
  if (!m_stream) {
    lose();
    return false;
  }
  pw().pw_stream_add_listener(m_stream, &m_hooks->stream, &m_hooks->streamEvents, this);
  std::uint8_t buffer[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  spa_audio_info_raw info{};
  info.format = SPA_AUDIO_FORMAT_F32;
  info.rate = static_cast<std::uint32_t>(m_config.sampleRate);
  info.channels = 2;
  info.position[0] = SPA_AUDIO_CHANNEL_FL;
  info.position[1] = SPA_AUDIO_CHANNEL_FR;
  const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
  // Inactive until the first message; rendered on the real-time thread, so a note waits for
  // nothing but the graph's next cycle.
  const auto flags =
      static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_INACTIVE |
                                   PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
  if (pw().pw_stream_connect(m_stream, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1) < 0) {
    lose();
    return false;
  }
  return true;
}

void PipeWireStream::onStreamState(int state) {
  if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) {
    lose();
  } else if (state == PW_STREAM_STATE_PAUSED) {
    m_paused = true;
    acceptIfHeard();
  }
}

// Accepted once the server has made the stream's node and has a sink to link it to; with no sink
// the server counts as absent (and after a loss the retries go on until a sink is there).
void PipeWireStream::acceptIfHeard() {
  if (!m_paused || !m_listed) return;
  if (m_sinks.empty()) {
    lose();
    return;
  }
  News news = News::None;
  {
    std::lock_guard lock(m_mutex);
    if (m_state == SinkState::Connecting) news = apply(SinkEvent::Accepted);
  }
  tell(news);
}

void PipeWireStream::onProcess() {
  pw_buffer* b = pw().pw_stream_dequeue_buffer(m_stream);
  if (!b) return;
  spa_data& d = b->buffer->datas[0];
  if (!d.data) {
    pw().pw_stream_queue_buffer(m_stream, b);
    return;
  }
  std::uint32_t frames = d.maxsize / kFrameBytes;
  if (b->requested)
    frames = static_cast<std::uint32_t>(std::min<std::uint64_t>(b->requested, frames));
  auto* out = static_cast<float*>(d.data);
  m_client.render(m_client.user, out, out + 1, 2, frames);
  d.chunk->offset = 0;
  d.chunk->stride = kFrameBytes;
  d.chunk->size = frames * kFrameBytes;
  pw().pw_stream_queue_buffer(m_stream, b);
  m_quantum.store(frames);

  if (!quietFor(m_config.idleSleep) || m_client.sounding(m_client.user)) return;
  // The stream is made inactive on the loop's thread; once is enough to ask.
  if (!m_quietSeen.exchange(true))
    pw_loop_signal_event(pw().pw_thread_loop_get_loop(m_loop), m_event);
}

void PipeWireStream::onEvent() {
  std::lock_guard lock(m_mutex);
  const bool wake = std::exchange(m_wakePending, false);
  const bool quiet = m_quietSeen.exchange(false);
  if (!m_stream) return;
  if (wake && m_state == SinkState::Asleep) {
    apply(SinkEvent::Message);
    pw().pw_stream_set_active(m_stream, true);
    return;
  }
  // A message that came since the real-time thread looked has moved the last message's time.
  if (quiet && m_state == SinkState::Running && quietFor(m_config.idleSleep)) {
    apply(SinkEvent::Quiet);
    pw().pw_stream_set_active(m_stream, false);
  }
}

void PipeWireStream::lose() {
  News news;
  {
    std::lock_guard lock(m_mutex);
    if (m_state == SinkState::Lost) return;  // its retry is already due
    news = apply(SinkEvent::Gone);
  }
  tell(news);
  // The dead stream and core are let go on the retry, outside their own callbacks.
  timespec value{};
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(m_config.retryInterval);
  value.tv_sec = static_cast<time_t>(ns.count() / 1000000000);
  value.tv_nsec = static_cast<long>(ns.count() % 1000000000);
  pw_loop_update_timer(pw().pw_thread_loop_get_loop(m_loop), m_retry, &value, nullptr, false);
}

void PipeWireStream::onRetry() {
  {
    std::lock_guard lock(m_mutex);
    apply(SinkEvent::Retry);  // so that a failure here is a loss again, with its own retry
  }
  dropConnection();
  connect();
}

void PipeWireStream::dropConnection() {
  if (m_stream) {
    spa_hook_remove(&m_hooks->stream);
    pw().pw_stream_destroy(m_stream);
    m_stream = nullptr;
  }
  if (m_registry) {
    spa_hook_remove(&m_hooks->registry);
    pw().pw_proxy_destroy(reinterpret_cast<pw_proxy*>(m_registry));
    m_registry = nullptr;
  }
  if (m_core) {
    spa_hook_remove(&m_hooks->core);
    pw().pw_core_disconnect(m_core);
    m_core = nullptr;
  }
  m_hooks->stream = spa_hook{};
  m_hooks->registry = spa_hook{};
  m_hooks->core = spa_hook{};
}

}  // namespace midi
