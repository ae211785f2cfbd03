// SPDX-License-Identifier: GPL-3.0-or-later
// The far end of make bench's key to MIDI on the ALSA sequencer (bench/alsa_key.py, in the qemu
// guest). A client with one input port, subscribed beside aseqdump to the output port of the client
// named on the command line: the sequencer hands each of the program's notes to both subscribers in
// the same delivery. The port has the sequencer stamp each event with a queue's real time as it is
// delivered; that time is put on CLOCK_MONOTONIC (the clock of Python's time.monotonic_ns) by
// reading the queue between two readings of the clock right after (they are ~50 us apart in the
// guest under emulation). Prints "ready" once subscribed, then one line per note:
//   on|off <note> <delivered ns> <read ns>
// where <read ns> is when the read returned here: a reader's wake-up after the delivery.
//   bench_alsa_stamp "Tamrels Midi Piano"

#include <alsa/asoundlib.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>

namespace {

long long nowNs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000000000LL + t.tv_nsec;
}

long long ns(const snd_seq_real_time_t& t) { return t.tv_sec * 1000000000LL + t.tv_nsec; }

// CLOCK_MONOTONIC less the queue's real time, the queue read between two readings of the clock.
long long queueOffset(snd_seq_t* seq, int queue) {
  snd_seq_queue_status_t* status;
  snd_seq_queue_status_alloca(&status);
  const long long before = nowNs();
  snd_seq_get_queue_status(seq, queue, status);
  const long long after = nowNs();
  return before + (after - before) / 2 - ns(*snd_seq_queue_status_get_real_time(status));
}

// The first port others may subscribe to for reading, of the first client of that name.
bool findOutput(snd_seq_t* seq, const char* name, snd_seq_addr_t& found) {
  snd_seq_client_info_t* client;
  snd_seq_port_info_t* port;
  snd_seq_client_info_alloca(&client);
  snd_seq_port_info_alloca(&port);
  snd_seq_client_info_set_client(client, -1);
  while (snd_seq_query_next_client(seq, client) >= 0) {
    if (std::strcmp(snd_seq_client_info_get_name(client), name) != 0) continue;
    snd_seq_port_info_set_client(port, snd_seq_client_info_get_client(client));
    snd_seq_port_info_set_port(port, -1);
    while (snd_seq_query_next_port(seq, port) >= 0) {
      const unsigned caps = snd_seq_port_info_get_capability(port);
      if ((caps & SND_SEQ_PORT_CAP_READ) && (caps & SND_SEQ_PORT_CAP_SUBS_READ)) {
        found = *snd_seq_port_info_get_addr(port);
        return true;
      }
    }
  }
  return false;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CLIENT-NAME\n", argv[0]);
    return 2;
  }
  snd_seq_t* seq = nullptr;
  if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, 0) < 0) {
    std::fprintf(stderr, "no ALSA sequencer\n");
    return 1;
  }
  snd_seq_set_client_name(seq, "bench-stamp");
  const int queue = snd_seq_alloc_queue(seq);
  snd_seq_port_info_t* info;
  snd_seq_port_info_alloca(&info);
  snd_seq_port_info_set_name(info, "in");
  snd_seq_port_info_set_capability(info, SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE);
  snd_seq_port_info_set_type(info, SND_SEQ_PORT_TYPE_APPLICATION);
  snd_seq_port_info_set_timestamping(info, 1);
  snd_seq_port_info_set_timestamp_real(info, 1);
  snd_seq_port_info_set_timestamp_queue(info, queue);
  const int in =
      queue >= 0 && snd_seq_create_port(seq, info) >= 0 ? snd_seq_port_info_get_port(info) : -1;
  if (in < 0 || snd_seq_start_queue(seq, queue, nullptr) < 0 || snd_seq_drain_output(seq) < 0) {
    std::fprintf(stderr, "no time-stamping port\n");
    return 1;
  }
  // The program makes its output port as the device opens: it may be a moment.
  snd_seq_addr_t from{};
  bool there = false;
  for (int i = 0; i < 200 && !(there = findOutput(seq, argv[1], from)); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (!there || snd_seq_connect_from(seq, in, from.client, from.port) < 0) {
    std::fprintf(stderr, "no output port of \"%s\" to subscribe to\n", argv[1]);
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  for (;;) {
    snd_seq_event_t* event = nullptr;
    const int rc = snd_seq_event_input(seq, &event);
    const long long read = nowNs();
    if (rc == -ENOSPC) continue;  // the input pool overflowed: those events are lost
    if (rc < 0 || !event) break;
    const bool on = event->type == SND_SEQ_EVENT_NOTEON && event->data.note.velocity > 0;
    const bool off = event->type == SND_SEQ_EVENT_NOTEOFF ||
                     (event->type == SND_SEQ_EVENT_NOTEON && event->data.note.velocity == 0);
    if (!on && !off) continue;
    if ((event->flags & SND_SEQ_TIME_STAMP_MASK) != SND_SEQ_TIME_STAMP_REAL) {
      std::fprintf(stderr, "a note without the queue's real time\n");
      return 1;
    }
    const long long delivered = ns(event->time.time) + queueOffset(seq, queue);
    std::printf("%s %d %lld %lld\n", on ? "on" : "off", event->data.note.note, delivered, read);
    std::fflush(stdout);
  }
  snd_seq_close(seq);
  return 0;
}
