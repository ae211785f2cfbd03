// SPDX-License-Identifier: GPL-3.0-or-later
// A JACK MIDI peer that says what it saw and when: one input port, "<client>:input", whose
// process thread runs at the server's real-time priority where the server has one (libjack gives
// it). Line-buffered on standard output, one record a line:
//   first <frame> <rt|other>   its first cycle's frame time, and its thread's scheduling then
//   <frame>: 90 3c 7f          a message, stamped with its cycle's frame time plus its offset
//   skipped <n> frames at <f>  cycles in which it did not run: frame time jumped past one period
//   lost <n>                   (at the end) records that found no room
// Until SIGTERM.
//   midi_record [client name]   (default "midi-monitor")

#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <thread>

namespace {

enum Kind : std::uint8_t { kMessage, kFirst, kSkipped };
struct Record {
  std::uint32_t frame;  // the message's or the first's frame; the skip's first frame not run
  std::uint32_t count;  // frames skipped; for the first cycle, 1 at real-time priority
  Kind kind;
  std::uint8_t size;
  std::uint8_t bytes[3];
};

jack_client_t* g_client = nullptr;
jack_port_t* g_input = nullptr;
jack_ringbuffer_t* g_records = nullptr;
std::atomic<unsigned long> g_lost{0};
volatile std::sig_atomic_t g_stop = 0;
bool g_started = false;
jack_nframes_t g_next = 0;  // the frame time the next cycle starts at, if none is skipped

void put(const Record& r) {
  if (jack_ringbuffer_write_space(g_records) < sizeof r)
    g_lost.fetch_add(1, std::memory_order_relaxed);
  else
    jack_ringbuffer_write(g_records, reinterpret_cast<const char*>(&r), sizeof r);
}

int process(jack_nframes_t frames, void*) {
  const jack_nframes_t start = jack_last_frame_time(g_client);
  if (!g_started) {
    int policy = SCHED_OTHER;
    sched_param param{};
    pthread_getschedparam(pthread_self(), &policy, &param);
    put({start, policy == SCHED_FIFO || policy == SCHED_RR ? 1u : 0u, kFirst, 0, {}});
    g_started = true;
  } else if (static_cast<std::int32_t>(start - g_next) > 0) {
    put({g_next, start - g_next, kSkipped, 0, {}});
  }
  g_next = start + frames;
  void* buffer = jack_port_get_buffer(g_input, frames);
  const jack_nframes_t count = jack_midi_get_event_count(buffer);
  for (jack_nframes_t i = 0; i < count; ++i) {
    jack_midi_event_t event;
    if (jack_midi_event_get(&event, buffer, i) != 0 || event.size > 3) continue;
    Record r{start + event.time, 0, kMessage, static_cast<std::uint8_t>(event.size), {}};
    for (std::size_t b = 0; b < event.size; ++b) r.bytes[b] = event.buffer[b];
    put(r);
  }
  return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  std::signal(SIGTERM, [](int) { g_stop = 1; });
  jack_client_t* client = g_client =
      jack_client_open(argc > 1 ? argv[1] : "midi-monitor", JackNoStartServer, nullptr);
  if (!client) return 1;
  g_records = jack_ringbuffer_create(1 << 20);
  g_input = jack_port_register(client, "input", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
  jack_set_process_callback(client, process, nullptr);
  if (!g_records || !g_input || jack_activate(client) != 0) return 1;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  Record r;
  while (!g_stop) {
    while (jack_ringbuffer_read(g_records, reinterpret_cast<char*>(&r), sizeof r) == sizeof r) {
      if (r.kind == kFirst) {
        std::printf("first %u %s\n", r.frame, r.count ? "rt" : "other");
      } else if (r.kind == kSkipped) {
        std::printf("skipped %u frames at %u\n", r.count, r.frame);
      } else {
        std::printf("%u:", r.frame);
        for (int b = 0; b < r.size; ++b) std::printf(" %02x", r.bytes[b]);
        std::printf("\n");
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  jack_client_close(client);
  if (const unsigned long lost = g_lost.load()) std::printf("lost %lu\n", lost);
  return 0;
}
