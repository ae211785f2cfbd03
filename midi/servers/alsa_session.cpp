// SPDX-License-Identifier: GPL-3.0-or-later
#include "midi/servers/alsa_session.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <system_error>

#include "midi/log.h"
#include "midi/servers/client_name.h"

namespace midi {

namespace {

void silentAlsa(const char*, int, const char*, int, const char*, ...) {}

// What an output port of another client must offer to be listed: others may write to it and
// subscribe to it, and it is a MIDI port (not, say, a timer).
bool isWritableMidiPort(const snd_seq_port_info_t* port) {
  constexpr unsigned kCaps = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
  constexpr unsigned kTypes =
      SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_SYNTH | SND_SEQ_PORT_TYPE_APPLICATION;
  const unsigned caps = snd_seq_port_info_get_capability(port);
  return (caps & kCaps) == kCaps && !(caps & SND_SEQ_PORT_CAP_NO_EXPORT) &&
         (snd_seq_port_info_get_type(port) & kTypes) != 0;
}

}  // namespace

void prepareAlsaPlatform() {
  static const bool once = [] {
    snd_lib_error_set_handler(silentAlsa);
    return true;
  }();
  (void)once;
}

AlsaSession::State AlsaSession::next(State state, Event event) {
  // An interrupted wait (a signal) and lost announcements leave the client as it was; only a
  // read that fails for another reason ends it.
  return event == Event::ReadFailed ? State::Gone : state;
}

std::shared_ptr<AlsaSession> AlsaSession::start() {
  prepareAlsaPlatform();
  if (access("/dev/snd/seq", R_OK | W_OK) != 0) return nullptr;
  std::shared_ptr<AlsaSession> session(new (std::nothrow) AlsaSession);
  if (!session || !session->open()) return nullptr;
  try {
    session->m_thread = std::thread(&AlsaSession::run, session.get());
  } catch (const std::system_error&) {
    return nullptr;
  }
  return session;
}

bool AlsaSession::open() {
  if (snd_seq_open(&m_seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0) {
    m_seq = nullptr;
    return false;
  }
  snd_seq_set_client_name(m_seq, kClientName);
  m_client = snd_seq_client_id(m_seq);
  const int port = snd_seq_create_simple_port(m_seq, "announcements",
                                              SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT,
                                              SND_SEQ_PORT_TYPE_APPLICATION);
  m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  return m_client >= 0 && port >= 0 && m_wakeFd >= 0 &&
         snd_seq_connect_from(m_seq, port, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE) >=
             0;
}

AlsaSession::~AlsaSession() {
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
  }
  wake();
  if (m_thread.joinable()) m_thread.join();
  for (const auto& listener : m_listeners) listener->detach(m_seq);
  m_listeners.clear();
  if (m_wakeFd >= 0) close(m_wakeFd);
  if (m_seq) snd_seq_close(m_seq);
}

AlsaSession::State AlsaSession::state() const {
  std::lock_guard lock(m_mutex);
  return m_state;
}

void AlsaSession::wake() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto n = write(m_wakeFd, &one, sizeof one);
}

bool AlsaSession::call(std::function<void()> task, std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_mutex);
  if (m_stopping) return false;
  const std::uint64_t mine = m_tasks.push(std::move(task));
  wake();
  return m_tasks.awaitRun(lock, mine, timeout);
}

void AlsaSession::post(std::function<void()> task) {
  std::lock_guard lock(m_mutex);
  m_tasks.push(std::move(task));
  wake();
}

void AlsaSession::run() {
  const int count = snd_seq_poll_descriptors_count(m_seq, POLLIN);
  std::vector<pollfd> fds(static_cast<std::size_t>(count > 0 ? count : 0) + 1);
  fds[0] = {m_wakeFd, POLLIN, 0};
  snd_seq_poll_descriptors(m_seq, fds.data() + 1, static_cast<unsigned>(fds.size() - 1), POLLIN);
  bool ticking = false;
  while (true) {
    {
      std::unique_lock lock(m_mutex);
      m_tasks.runAll(lock);
      if (m_stopping) {
        // Tasks that came meanwhile run too: they own what they touch.
        m_tasks.runAll(lock);
        return;
      }
    }
    const int timeout = ticking ? static_cast<int>(kTickInterval.count()) : -1;
    // A Gone session waits for its tasks only.
    const nfds_t watched = state() == State::Open ? fds.size() : 1;
    if (poll(fds.data(), watched, timeout) < 0) {
      // A signal interrupts the wait and nothing else; any other failure is the sequencer's.
      const bool interrupted = errno == EINTR;
      apply(interrupted ? Event::Interrupted : Event::ReadFailed);
      if (!interrupted && watched == 1) std::this_thread::sleep_for(kTickInterval);
      continue;
    }
    std::uint64_t drained = 0;
    if (fds[0].revents & POLLIN) [[maybe_unused]]
      auto n = read(m_wakeFd, &drained, sizeof drained);
    if (state() == State::Open) readAnnouncements();
    if (state() == State::Open) ticking = tickListeners();
  }
}

bool AlsaSession::tickListeners() {
  const auto now = std::chrono::steady_clock::now();
  bool ticking = false;
  std::vector<std::shared_ptr<AlsaListener>> done;
  for (const auto& listener : m_listeners) {
    const bool more = listener->tick(m_seq);
    const auto retiring = std::find_if(m_retiring.begin(), m_retiring.end(),
                                       [&](const Retiring& r) { return r.listener == listener; });
    if (retiring != m_retiring.end() && (!more || now >= retiring->until))
      done.push_back(listener);
    else
      ticking = ticking || more;
  }
  for (const auto& listener : done) remove(listener);
  return ticking;
}

void AlsaSession::apply(Event event) {
  State before;
  {
    std::lock_guard lock(m_mutex);
    before = m_state;
    m_state = next(m_state, event);
    if (m_state == before) return;
  }
  logEvent(LogRoom::Servers, LogLevel::Warning, "alsa lost",
           "ALSA sequencer: reading its announcements failed; its ports stay lost until the "
           "program starts again");
  for (const auto& listener : m_listeners) listener->sessionGone();
}

void AlsaSession::readAnnouncements() {
  while (state() == State::Open) {
    snd_seq_event_t* event = nullptr;
    const int rc = snd_seq_event_input(m_seq, &event);
    if (rc == -EAGAIN) return;
    if (rc == -EINTR || rc == -ENOSPC) {  // a signal; or announcements were lost
      apply(rc == -EINTR ? Event::Interrupted : Event::Overran);
      if (rc == -ENOSPC)  // every listener looks again
        for (const auto& listener : m_listeners) listener->announced(m_seq, nullptr);
    } else if (rc < 0) {
      apply(Event::ReadFailed);
    } else if (event && event->source.client == SND_SEQ_CLIENT_SYSTEM) {
      for (const auto& listener : m_listeners) listener->announced(m_seq, event);
    }
  }
}

std::vector<AlsaPortAddress> AlsaSession::writablePorts(snd_seq_t* seq, int except) {
  std::vector<AlsaPortAddress> ports;
  snd_seq_client_info_t* client;
  snd_seq_port_info_t* port;
  snd_seq_client_info_alloca(&client);
  snd_seq_port_info_alloca(&port);
  snd_seq_client_info_set_client(client, -1);
  while (snd_seq_query_next_client(seq, client) >= 0) {
    const int id = snd_seq_client_info_get_client(client);
    if (id == SND_SEQ_CLIENT_SYSTEM || id == except) continue;
    snd_seq_port_info_set_client(port, id);
    snd_seq_port_info_set_port(port, -1);
    while (snd_seq_query_next_port(seq, port) >= 0) {
      if (!isWritableMidiPort(port)) continue;
      ports.push_back({id, snd_seq_port_info_get_port(port), snd_seq_client_info_get_name(client),
                       snd_seq_port_info_get_name(port)});
    }
  }
  return ports;
}

void AlsaSession::add(const std::shared_ptr<AlsaListener>& listener) {
  m_listeners.push_back(listener);
  listener->attach(m_seq);
}

void AlsaSession::remove(const std::shared_ptr<AlsaListener>& listener) {
  std::erase(m_listeners, listener);
  std::erase_if(m_retiring, [&](const Retiring& r) { return r.listener == listener; });
  listener->detach(m_seq);
}

void AlsaSession::retire(const std::shared_ptr<AlsaListener>& listener,
                         std::chrono::milliseconds grace) {
  if (state() != State::Open || !listener->tick(m_seq)) {
    remove(listener);
    return;
  }
  m_retiring.push_back({listener, std::chrono::steady_clock::now() + grace});
  wake();  // the loop ticks from now on
}

}  // namespace midi
