// SPDX-License-Identifier: GPL-3.0-or-later
// Records one JACK audio port to standard output as raw signed 16-bit mono samples at the server's
// rate, every frame of every cycle, until SIGTERM:
//   jack_record <port>     e.g. "Tamrels Midi Piano:left"
// It prints "rate <frames a second>" on standard error once it runs. A cycle that finds the pipe's
// buffer full is counted and told on standard error at the end, never dropped in silence.

#include <jack/jack.h>
#include <jack/ringbuffer.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <thread>

namespace {

jack_port_t* g_input = nullptr;
jack_ringbuffer_t* g_samples = nullptr;
std::atomic<unsigned long> g_lost{0};  // frames that found no room
volatile std::sig_atomic_t g_stop = 0;

int process(jack_nframes_t frames, void*) {
  const auto* in = static_cast<const float*>(jack_port_get_buffer(g_input, frames));
  std::int16_t out[8192];  // JACK's longest period
  const jack_nframes_t n = std::min<jack_nframes_t>(frames, 8192);
  if (jack_ringbuffer_write_space(g_samples) < n * sizeof out[0]) {
    g_lost.fetch_add(frames, std::memory_order_relaxed);
    return 0;
  }
  for (jack_nframes_t i = 0; i < n; ++i)
    out[i] = static_cast<std::int16_t>(std::lrint(std::clamp(in[i], -1.0f, 1.0f) * 32767.0f));
  jack_ringbuffer_write(g_samples, reinterpret_cast<const char*>(out), n * sizeof out[0]);
  return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 2) return 2;
  std::signal(SIGTERM, [](int) { g_stop = 1; });
  std::signal(SIGPIPE, SIG_IGN);
  jack_client_t* client = jack_client_open("jack_record", JackNoStartServer, nullptr);
  if (!client) return 1;
  g_input = jack_port_register(client, "input", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
  g_samples = jack_ringbuffer_create(1 << 22);  // about 22 s at 48 kHz
  jack_set_process_callback(client, process, nullptr);
  if (!g_input || !g_samples || jack_activate(client) != 0 ||
      jack_connect(client, argv[1], jack_port_name(g_input)) != 0) {
    std::fprintf(stderr, "jack_record: cannot record %s\n", argv[1]);
    jack_client_close(client);
    return 1;
  }
  std::fprintf(stderr, "rate %u\n", jack_get_sample_rate(client));
  char chunk[8192];
  bool open = true;
  while (!g_stop && open) {
    std::size_t n;
    while (open && (n = jack_ringbuffer_read(g_samples, chunk, sizeof chunk)) > 0)
      for (std::size_t done = 0; done < n;) {
        const ssize_t w = write(STDOUT_FILENO, chunk + done, n - done);
        if (w <= 0) {
          open = false;
          break;
        }
        done += static_cast<std::size_t>(w);
      }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  jack_client_close(client);
  if (const unsigned long lost = g_lost.load()) std::fprintf(stderr, "jack_record: %lu frames lost\n", lost);
  return 0;
}
