// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// One JACK client for the whole program, for each life of the server, owned by the session. It
// lists the MIDI inputs of other clients, and serves endpoints: our own ports (a MIDI output per
// opened device, the synthesizer's audio), registered again on every new client and run in the
// client's process callback. It follows the server: when the server goes, the endpoints hear it,
// the dead client is dropped and a new one is tried every 250 ms.
//
// Every libjack call that can wait for the server runs on the session's own thread. Other threads
// hand it tasks and wait for them with a deadline (call), or not at all (post): a server that is
// stopped or hung holds the session's thread and nothing else.

#include <jack/jack.h>
#include <pthread.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "midi/servers/client_name.h"
#include "midi/servers/jack_cycles.h"
#include "midi/servers/session_tasks.h"

namespace midi {

// Silences JACK's printing and keeps JACK from starting a server. Sets the environment, so it
// must run before any other thread does; later calls do nothing.
void prepareJackPlatform();

// Something of ours that lives on the session's client: its ports, and its work in each cycle.
// attach, detach and reconcile run on the session's thread; process on JACK's real-time thread.
class JackEndpoint {
 public:
  virtual ~JackEndpoint() = default;
  // A new client is active: register the ports. False when they could not be.
  virtual bool attach(jack_client_t* client) = 0;
  // The endpoint leaves: cut its ports' connections. leave() still runs meanwhile, so that no
  // peer reads a stale buffer twice.
  virtual void disconnect(jack_client_t* client) = 0;
  // Whether a leaving endpoint has nothing more to send (what it owes is out and known to have
  // been read, or it has nowhere to send it). The session waits for this before disconnecting
  // it, reconciling it meanwhile: cycle_rules::settleTime at the most, counted only while cycles
  // run.
  virtual bool settled() const = 0;
  // Why an endpoint's ports go: it leaves (they are to be unregistered), the server has gone
  // with them, or the session renews its client on a live server (see starved()).
  enum class Detach { Leaving, ServerGone, Renewal };
  // The ports have gone, or are to go. Neither process() nor leave() is running, nor will they
  // run again until the next attach.
  virtual void detach(jack_client_t* client, Detach why) = 0;
  // Something changed in the graph (ports or clients came or went, a connection changed), or a
  // new client has just attached the endpoint. True: ask again in 100 ms (a refused connection).
  virtual bool reconcile(jack_client_t* client) = 0;
  // One cycle: no locks, no allocation, no call into libjack that can lock or wait (only
  // jack_port_get_buffer and the MIDI buffer functions).
  virtual void process(const JackCycle& cycle) = 0;
  // One cycle of a leaving endpoint: it touches only what it owns itself (its queue, never a
  // synthesizer of its owner's), and at the least empties its buffers.
  virtual void leave(const JackCycle& cycle) = 0;
  // Writes what happened out of sight since the last call (the session's thread, now and then).
  virtual void report() {}

 private:
  friend class JackSession;
  std::atomic<bool> m_leaving{false};  // removed: never (re)attached again
  bool m_attached = false;             // session thread only
};

class JackSession : public std::enable_shared_from_this<JackSession> {
 public:
  // The life of the session's client:
  //   Idle     no active client: none was needed yet, or no server answered when one was, or
  //            one was opened for the listing and is activated a little later;
  //   Active   a client of a live server, activated;
  //   Gone     the server went away; the dead client is dropped, a new one is tried every
  //            250 ms while anything is attached.
  // Once the session's thread has closed its client at shutdown, the session is Idle for good.
  enum class State { Idle, Active, Gone };
  enum class Event { Opened, OpenFailed, ServerGone, Closed };
  static State next(State state, Event event);

  static constexpr std::size_t kMaxEndpoints = 32;
  static constexpr auto kRetryInterval = std::chrono::milliseconds(250);
  static constexpr auto kReconnectInterval = std::chrono::milliseconds(100);
  // How long a client opened for the listing at start-up stays inactive, unless needed sooner.
  static constexpr auto kActivateDelay = std::chrono::seconds(1);
  // How often our cycles are counted against the server's while anything is attached, and the
  // least time between two renewals, doubled for each renewal that follows the last within
  // kRenewalCalm, up to kMaxRenewalGap.
  static constexpr auto kCountEvery = std::chrono::milliseconds(25);
  static constexpr auto kFirstRenewalGap = std::chrono::milliseconds(250);
  static constexpr auto kMaxRenewalGap = std::chrono::seconds(4);
  static constexpr auto kRenewalCalm = std::chrono::seconds(10);

  // Starts the session's thread; the client opens when first needed.
  static std::shared_ptr<JackSession> start();
  // Stops the thread, closing the client, and waits for that at most timeout. A server that
  // hangs keeps the thread; it is then left behind, with the client (closing it would wait too).
  void shutdown(std::chrono::milliseconds timeout);
  ~JackSession();

  // Runs task on the session's thread. call waits at most timeout for it and says whether it
  // ran in time; a task that did not still runs later, so it must own what it touches.
  bool call(std::function<void()> task, std::chrono::milliseconds timeout);
  void post(std::function<void()> task);

  // --- On the session's thread only ---
  // The active client, opening one if there is none and a server answers; or nullptr.
  jack_client_t* client();
  // The MIDI input ports of the other clients, in the server's order.
  std::vector<std::string> midiInputs();
  // Serves endpoint from now on, across the server's lives: attached now if a client is active,
  // and to each new client (one that could not attach is tried again on every change of the
  // graph); reconciled right after the task that adds it. False when it cannot be served (it
  // left already, no room).
  bool add(const std::shared_ptr<JackEndpoint>& endpoint);

  // --- From any thread ---
  // Stops serving endpoint: returns once the process callback runs no more than its leave()
  // (a cycle at most). On the session's thread, once it has settled (its last messages are out),
  // its ports are disconnected and unregistered.
  void remove(const std::shared_ptr<JackEndpoint>& endpoint);
  State state() const { return m_state.load(); }

 private:
  struct Closing;
  JackSession() = default;
  void run();
  void apply(Event event);
  bool open();      // connect, then activate
  bool connect();   // a client with its callbacks, inactive
  bool activate();  // m_client: active, the endpoints attached; or closed
  void onServerGone(JackEndpoint::Detach why = JackEndpoint::Detach::ServerGone);
  // Whether our client is to be opened anew: the server runs its cycles without us
  // (ourCyclesLost), or the graph stalls at a peer our libjack never wakes (peerWakeUpLost).
  const char* starved();  // why, or nullptr
  bool ourCyclesLost(std::chrono::steady_clock::time_point now);
  bool peerWakeUpLost(std::chrono::steady_clock::time_point now);
  void renew(const char* why);
  void attachWaiting();
  void publish(JackEndpoint* endpoint);
  void unpublish(const JackEndpoint* endpoint);
  void awaitCycleEnd();
  void beginClosing(const std::shared_ptr<JackEndpoint>& endpoint);
  bool settleStep(Closing& closing);  // true: settled, or no more time: finish it
  void finishClosing(const std::shared_ptr<JackEndpoint>& endpoint);
  void settleClosing();  // one step of each, finishing those that are done; never waits
  static int onProcess(jack_nframes_t frames, void* self);
  static void onGone(void* self);  // JACK's thread: the server has gone
  static void holdNotifier(void* self);
  static void onChanged(void* self);  // JACK's notification thread: the graph changed
  void wake();

  std::atomic<State> m_state{State::Idle};
  jack_client_t* m_client = nullptr;                       // session thread only
  std::vector<std::shared_ptr<JackEndpoint>> m_endpoints;  // session thread only

  // The process callback's view of the endpoints: written under m_slotMutex, read lock-free.
  std::array<std::atomic<JackEndpoint*>, kMaxEndpoints> m_slots{};
  std::mutex m_slotMutex;
  // Odd while a cycle runs. Sequentially consistent, as the slots are: remove() stores a slot and
  // then loads the count, the cycle stores the count and then loads the slots.
  std::atomic<std::uint64_t> m_cycle{0};
  std::atomic<bool> m_freewheel{false};  // set by JACK's freewheel callback

  // What other threads tell the session's thread.
  std::mutex m_mutex;
  std::condition_variable m_wakeUp;
  std::condition_variable m_ended;  // m_finished
  SessionTasks m_tasks;
  bool m_stopping = false;
  bool m_finished = false;
  std::atomic<bool> m_serverGone{false};       // set by JACK's shutdown callbacks
  std::atomic<pthread_t> m_notifier{};         // the thread that last ran onChanged
  std::atomic<bool> m_graphChanged{false};     // set by JACK's notification callbacks
  std::atomic<std::uint64_t> m_xruns{0};       // since m_xrunWindow began
  std::atomic<std::uint64_t> m_xrunsHeard{0};  // since the session began
  // Gaps in our cycles that say the server itself stopped (cycle_rules::kServerStoppedNs), since
  // m_xrunWindow began: the xruns it tells of as it goes on are its own.
  std::atomic<std::uint32_t> m_serverStalls{0};
  CycleClock m_cycleClock;                     // the process thread's, or no thread's
  std::atomic<std::int64_t> m_clientAdded{0};  // when another client last came (steady clock)
  // Session thread only, as is everything below.
  std::chrono::steady_clock::time_point m_xrunWindow{};
  int m_xrunSeconds = 0;              // seconds in a row of cycle_rules::wakeUpLost
  std::uint64_t m_cycleAtWindow = 0;  // m_cycle when m_xrunWindow began
  // Our cycles counted against the server's, over windows of its cycles (ourCyclesLost).
  struct CycleWindow {
    bool open = false;
    jack_nframes_t serverFrames = 0;  // the server's frame counter when the window began
    std::uint64_t ourCount = 0;       // m_cycle then
    jack_nframes_t period = 0;        // the server's period then
    std::chrono::steady_clock::time_point began{};
    int starvedInARow = 0;
  } m_ourCycles;
  std::chrono::steady_clock::time_point m_renewed{};  // the client last opened anew
  bool m_lost = false;  // the server went while our client was active: "back" is owed
  std::chrono::steady_clock::duration m_renewalGap{};  // the least time until the next renewal
  // Endpoints removed while attached: they send what they owe before their ports go.
  struct Closing {
    std::shared_ptr<JackEndpoint> endpoint;
    std::chrono::steady_clock::duration timeLeft;  // of settleTime, counted while cycles run
    std::uint64_t lastCycle;
    std::chrono::steady_clock::time_point before, lastCycleAt, nextReconcile;
  };
  std::vector<Closing> m_closing;
  std::chrono::steady_clock::time_point m_activateAt{};  // the listing's client, if inactive
};

}  // namespace midi
