// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// One ALSA sequencer client for the whole program ("Tamrels Midi Piano"), owned by the session.
// It lists the writable ports of other clients, and serves listeners (our outputs): it reads the
// system's announcements (clients and ports that start, change and exit, subscriptions that go)
// on the session's own thread and hands each to every listener there, with a tick every 100 ms
// for a listener that has something to retry.
//
// The sequencer lives in the kernel, so no call of ours waits for another process; its calls that
// change the client (ports, subscriptions) still run on the session's thread, one at a time.
// Sends do not: they go straight to the kernel, non-blocking, from the caller's thread.

#include <alsa/asoundlib.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "midi/servers/session_tasks.h"

namespace midi {

// Silences alsa-lib's printing to the terminal. Later calls do nothing.
void prepareAlsaPlatform();

// Something of ours on the session's client. Every call comes on the session's thread.
class AlsaListener {
 public:
  virtual ~AlsaListener() = default;
  // The listener starts being served (its port is to be made and connected).
  virtual void attach(snd_seq_t* seq) = 0;
  // An announcement; nullptr when some were lost (the input overran): anything may have changed.
  virtual void announced(snd_seq_t* seq, const snd_seq_event_t* event) = 0;
  // True while the listener has something to retry on the next tick.
  virtual bool tick(snd_seq_t* seq) = 0;
  // The sequencer has gone (it failed under us); nothing more comes.
  virtual void sessionGone() = 0;
  // The listener is no longer served: its port goes.
  virtual void detach(snd_seq_t* seq) = 0;
};

struct AlsaPortAddress {
  int client = -1;
  int port = -1;
  std::string clientName;
  std::string portName;
};

class AlsaSession {
 public:
  // The life of the session's client:
  //   Open   the client exists and its thread follows the announcements;
  //   Gone   reading the announcements failed for good: the listeners heard it, the client stays
  //          until the session ends (nothing is sent through it any more).
  enum class State { Open, Gone };
  enum class Event { ReadFailed, Interrupted, Overran };
  static State next(State state, Event event);

  static constexpr auto kTickInterval = std::chrono::milliseconds(100);

  // The session, or nullptr when this machine has no sequencer (no /dev/snd/seq).
  static std::shared_ptr<AlsaSession> start();
  ~AlsaSession();  // stops the thread and closes the client
  AlsaSession(const AlsaSession&) = delete;
  AlsaSession& operator=(const AlsaSession&) = delete;

  // Runs task on the session's thread; call waits at most timeout and says whether it ran in
  // time (a task that did not still runs later, so it must own what it touches).
  bool call(std::function<void()> task, std::chrono::milliseconds timeout);
  void post(std::function<void()> task);

  // --- On the session's thread only ---
  // The writable ports of other clients (not the system's, not ours), in the sequencer's order.
  std::vector<AlsaPortAddress> writablePorts() { return writablePorts(m_seq, m_client); }
  // The same through seq, leaving out the client except (ours).
  static std::vector<AlsaPortAddress> writablePorts(snd_seq_t* seq, int except);
  // Serves listener from now on (attached at once) / no more (detached at once).
  void add(const std::shared_ptr<AlsaListener>& listener);
  void remove(const std::shared_ptr<AlsaListener>& listener);
  // Serves listener only while it still has something to retry (a Note Off that could not go),
  // for grace at most: then it is removed.
  void retire(const std::shared_ptr<AlsaListener>& listener, std::chrono::milliseconds grace);

  // --- From any thread ---
  snd_seq_t* seq() const { return m_seq; }
  // Has the session's thread look at its listeners soon (one of them has something to retry).
  void nudge() { wake(); }
  int client() const { return m_client; }
  State state() const;

 private:
  AlsaSession() = default;
  bool open();
  void run();
  void readAnnouncements();
  bool tickListeners();     // true while any has something to retry
  void apply(Event event);  // a Gone session tells its listeners
  void wake();

  snd_seq_t* m_seq = nullptr;
  int m_client = -1;
  int m_wakeFd = -1;  // an eventfd: tasks are waiting, or the session stops
  std::thread m_thread;
  std::vector<std::shared_ptr<AlsaListener>> m_listeners;  // session thread only
  struct Retiring {
    std::shared_ptr<AlsaListener> listener;
    std::chrono::steady_clock::time_point until;
  };
  std::vector<Retiring> m_retiring;  // session thread only; each is among m_listeners too

  mutable std::mutex m_mutex;
  SessionTasks m_tasks;
  bool m_stopping = false;
  State m_state = State::Open;
};

}  // namespace midi
