// SPDX-License-Identifier: GPL-3.0-or-later
// The floor of make bench's ALSA send cost (bench/alsa_send.sh, in the qemu guest): what any
// sequencer client pays to hand a note to a port, with nothing of ours around it. A client with
// one output port subscribed to the named client's first port sends count notes as the program
// does (direct, non-blocking, alternately Note On and Note Off, a pause every 100) and prints the
// mean time of one send:
//   bench_alsa_send_floor aseqdump 2000   ->   floor <microseconds>

#include <alsa/asoundlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

int main(int argc, char* argv[]) {
  if (argc != 3) return 2;
  snd_seq_t* seq = nullptr;
  if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_OUTPUT, SND_SEQ_NONBLOCK) < 0) return 1;
  snd_seq_set_client_name(seq, "bench floor");
  const int port =
      snd_seq_create_simple_port(seq, "out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                 SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
  snd_seq_addr_t target{};
  if (port < 0 || snd_seq_parse_address(seq, &target, argv[1]) < 0 ||
      snd_seq_connect_to(seq, port, target.client, target.port) < 0)
    return 1;
  const int count = std::atoi(argv[2]);
  std::chrono::steady_clock::duration spent{};
  for (int i = 0; i < count; ++i) {
    const auto start = std::chrono::steady_clock::now();
    snd_seq_event_t event;
    snd_seq_ev_clear(&event);
    snd_seq_ev_set_source(&event, static_cast<unsigned char>(port));
    snd_seq_ev_set_subs(&event);
    snd_seq_ev_set_direct(&event);
    if (i % 2)
      snd_seq_ev_set_noteoff(&event, 0, 60, 0);
    else
      snd_seq_ev_set_noteon(&event, 0, 60, 127);
    snd_seq_event_output_direct(seq, &event);
    spent += std::chrono::steady_clock::now() - start;
    if (i % 100 == 99) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::printf("floor %.3f\n", std::chrono::duration<double, std::micro>(spent).count() / count);
  snd_seq_close(seq);
  return 0;
}
