// SPDX-License-Identifier: GPL-3.0-or-later
#include "midi/ports/port_watch.h"

#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <system_error>
#include <thread>
#include <vector>

namespace midi {

namespace {

constexpr char kWatchName[] = "Tamrels Midi Piano watch";

// Where an ALSA RtMidi name says the port is now.
bool addressOf(const std::string& rtMidiName, snd_seq_addr_t& addr) {
  int client = 0;
  int port = 0;
  if (!alsaAddress(rtMidiName, client, port)) return false;
  addr.client = static_cast<unsigned char>(client);
  addr.port = static_cast<unsigned char>(port);
  return true;
}

// The sequencer's announcements (port and client start and exit) come to a port of ours,
// read on a thread of ours.
class AlsaPortWatch final : public PortWatch {
 public:
  AlsaPortWatch(snd_seq_t* seq, std::string target, Notify notify)
      : m_seq(seq), m_target(alsaPortNames(target)), m_notify(std::move(notify)) {
    addressOf(target, m_address);
  }

  ~AlsaPortWatch() override {
    if (m_stopPipe[1] >= 0) [[maybe_unused]]
      auto n = write(m_stopPipe[1], "x", 1);
    if (m_thread.joinable()) m_thread.join();
    for (int fd : m_stopPipe)
      if (fd >= 0) close(fd);
    snd_seq_close(m_seq);
  }

  bool listen() {
    snd_seq_set_client_name(m_seq, kWatchName);
    const int port = snd_seq_create_simple_port(m_seq, "announcements",
                                                SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT,
                                                SND_SEQ_PORT_TYPE_APPLICATION);
    if (port < 0 ||
        snd_seq_connect_from(m_seq, port, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE) < 0)
      return false;
    if (pipe2(m_stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    try {
      m_thread = std::thread(&AlsaPortWatch::run, this);
    } catch (const std::system_error&) {
      return false;
    }
    return true;
  }

  bool portPresent() override {
    snd_seq_client_info_t* client;
    snd_seq_port_info_t* port;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_alloca(&port);
    snd_seq_client_info_set_client(client, -1);
    while (snd_seq_query_next_client(m_seq, client) >= 0) {
      snd_seq_port_info_set_client(port, snd_seq_client_info_get_client(client));
      snd_seq_port_info_set_port(port, -1);
      while (snd_seq_query_next_port(m_seq, port) >= 0)
        if (namesOf(client, port) == m_target) return true;
    }
    return false;
  }

 private:
  static std::string namesOf(snd_seq_client_info_t* client, snd_seq_port_info_t* port) {
    return std::string(snd_seq_client_info_get_name(client)) + ":" +
           snd_seq_port_info_get_name(port);
  }

  void run() {
    const int count = snd_seq_poll_descriptors_count(m_seq, POLLIN);
    std::vector<pollfd> fds(static_cast<std::size_t>(count) + 1);
    snd_seq_poll_descriptors(m_seq, fds.data() + 1, static_cast<unsigned>(count), POLLIN);
    fds[0] = {m_stopPipe[0], POLLIN, 0};
    while (poll(fds.data(), fds.size(), -1) >= 0 && !(fds[0].revents & POLLIN)) {
      snd_seq_event_t* event = nullptr;
      int rc;
      while ((rc = snd_seq_event_input(m_seq, &event)) >= 0 && event) onEvent(*event);
      if (rc < 0 && rc != -EAGAIN && rc != -ENOSPC) {  // the sequencer itself has gone
        m_notify(Event::SystemGone);
        return;
      }
    }
  }

  void onEvent(const snd_seq_event_t& event) {
    const snd_seq_addr_t& addr = event.data.addr;
    if (event.type == SND_SEQ_EVENT_PORT_START) {
      snd_seq_client_info_t* client;
      snd_seq_port_info_t* port;
      snd_seq_client_info_alloca(&client);
      snd_seq_port_info_alloca(&port);
      if (snd_seq_get_any_client_info(m_seq, addr.client, client) < 0 ||
          snd_seq_get_any_port_info(m_seq, addr.client, addr.port, port) < 0)
        return;
      if (namesOf(client, port) != m_target) return;
      m_address = addr;
      m_notify(Event::PortBack);
    } else if ((event.type == SND_SEQ_EVENT_PORT_EXIT && addr.client == m_address.client &&
                addr.port == m_address.port) ||
               (event.type == SND_SEQ_EVENT_CLIENT_EXIT && addr.client == m_address.client)) {
      m_notify(Event::PortGone);
    }
  }

  snd_seq_t* m_seq;
  std::string m_target;        // "client name:port name"
  snd_seq_addr_t m_address{};  // where the target is now
  Notify m_notify;
  int m_stopPipe[2] = {-1, -1};
  std::thread m_thread;
};

}  // namespace

std::unique_ptr<PortWatch> PortWatch::start(const PortInfo& port, Notify notify) {
  prepareMidiPlatform();
  if (access("/dev/snd/seq", R_OK | W_OK) != 0) return nullptr;
  snd_seq_t* seq = nullptr;
  if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_INPUT, SND_SEQ_NONBLOCK) < 0) return nullptr;
  auto watch = std::make_unique<AlsaPortWatch>(seq, port.portName, std::move(notify));
  if (!watch->listen()) return nullptr;
  return watch;
}

}  // namespace midi
