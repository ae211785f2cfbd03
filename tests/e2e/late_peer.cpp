// SPDX-License-Identifier: GPL-3.0-or-later
// A JACK MIDI peer that registers its input port well before it activates, as slow programs
// do, then says "active" and prints every message like jack_midi_dump ("0: 90 3c 7f"), one a line:
//   late_peer <client name> <milliseconds between registering and activating>

#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

jack_port_t* g_input = nullptr;
jack_ringbuffer_t* g_received = nullptr;
volatile std::sig_atomic_t g_stop = 0;

int process(jack_nframes_t frames, void*) {
  void* buffer = jack_port_get_buffer(g_input, frames);
  const jack_nframes_t count = jack_midi_get_event_count(buffer);
  for (jack_nframes_t i = 0; i < count; ++i) {
    jack_midi_event_t event;
    if (jack_midi_event_get(&event, buffer, i) != 0 || event.size > 3) continue;
    unsigned char bytes[4] = {static_cast<unsigned char>(event.size), 0, 0, 0};
    for (std::size_t b = 0; b < event.size; ++b) bytes[b + 1] = event.buffer[b];
    if (jack_ringbuffer_write_space(g_received) >= sizeof bytes)
      jack_ringbuffer_write(g_received, reinterpret_cast<const char*>(bytes), sizeof bytes);
  }
  return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 3) return 2;
  std::signal(SIGTERM, [](int) { g_stop = 1; });
  jack_client_t* client = jack_client_open(argv[1], JackNoStartServer, nullptr);
  if (!client) return 1;
  g_input = jack_port_register(client, "input", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
  g_received = jack_ringbuffer_create(1 << 16);
  jack_set_process_callback(client, process, nullptr);
  std::printf("registered\n");
  std::fflush(stdout);
  std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argv[2])));
  if (jack_activate(client) != 0) return 1;
  std::printf("active\n");
  while (!g_stop) {
    unsigned char bytes[4];
    while (jack_ringbuffer_read(g_received, reinterpret_cast<char*>(bytes), 4) == 4) {
      std::printf("0:");
      for (int b = 0; b < bytes[0]; ++b) std::printf(" %02x", bytes[b + 1]);
      std::printf("\n");
    }
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  jack_client_close(client);
  return 0;
}
