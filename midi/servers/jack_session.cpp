// SPDX-License-Identifier: GPL-3.0-or-later
#include "midi/servers/jack_session.h"

#include <time.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>
#include <utility>

#include "midi/log.h"
#include "midi/servers/clock.h"

namespace midi {

namespace {

void silentJack(const char*) {}

// The PipeWire behind PipeWire's libjack, as major * 1,000,000 + minor * 1,000 + micro; 0 for
// jackd's libjack. Its version string names it: "3.0.0.0 (using PipeWire 1.4.2)". One whose
// version cannot be read is taken for the newest.
long pipewireVersion() {
  static const long version = [] {
    const char* at = std::strstr(jack_get_version_string(), "PipeWire ");
    if (!at) return 0L;
    int major = 0, minor = 0, micro = 0;
    if (std::sscanf(at, "PipeWire %d.%d.%d", &major, &minor, &micro) != 3) return LONG_MAX;
    return major * 1'000'000L + minor * 1'000L + micro;
  }();
  return version;
}

}  // namespace

void prepareJackPlatform() {
  static const bool once = [] {
    jack_set_error_function(silentJack);
    jack_set_info_function(silentJack);
    setenv("JACK_NO_START_SERVER", "1", 1);  // a JACK server is never started on our behalf
    return true;
  }();
  (void)once;
}

// Idle   + Opened     -> Active
// Idle   + OpenFailed -> Idle     (nothing is looked for until something needs the server)
// Active + ServerGone -> Gone
// Gone   + Opened     -> Active
// Gone   + OpenFailed -> Gone     (tried again in 250 ms)
// any    + Closed     -> Idle     (shut down: no client, no process thread)
// Every other pair leaves the state as it is.
JackSession::State JackSession::next(State state, Event event) {
  switch (event) {
    case Event::Opened: return State::Active;
    case Event::OpenFailed: return state;
    case Event::ServerGone: return state == State::Active ? State::Gone : state;
    case Event::Closed: return State::Idle;
  }
  return state;
}

void JackSession::apply(Event event) { m_state.store(next(m_state.load(), event)); }

std::shared_ptr<JackSession> JackSession::start() {
  prepareJackPlatform();
  std::shared_ptr<JackSession> session(new JackSession);
  try {
    // The thread keeps the session alive: if a hung server holds it past shutdown(), what it
    // touches must stay.
    std::thread([session] { session->run(); }).detach();
  } catch (const std::system_error&) {
    return nullptr;
  }
  return session;
}

JackSession::~JackSession() = default;

void JackSession::shutdown(std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_mutex);
  m_stopping = true;
  m_wakeUp.notify_all();
  m_ended.wait_for(lock, timeout, [this] { return m_finished; });
}

void JackSession::wake() {
  std::lock_guard lock(m_mutex);
  m_wakeUp.notify_all();
}

bool JackSession::call(std::function<void()> task, std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_mutex);
  if (m_stopping) return false;
  const std::uint64_t mine = m_tasks.push(std::move(task));
  m_wakeUp.notify_all();
  return m_tasks.awaitRun(lock, mine, timeout);
}

void JackSession::post(std::function<void()> task) {
  std::lock_guard lock(m_mutex);
  m_tasks.push(std::move(task));
  m_wakeUp.notify_all();
}

void JackSession::run() {
  using Clock = std::chrono::steady_clock;
  auto nextOpen = Clock::now();
  auto nextReconcile = Clock::time_point::max();
  std::unique_lock lock(m_mutex);
  while (true) {
    m_tasks.runAll(lock);
    if (m_stopping) break;
    lock.unlock();
    if (m_serverGone.exchange(false)) onServerGone();
    if (const char* why = starved()) {
      renew(why);
      nextOpen = Clock::now() + kRetryInterval;
    }
    settleClosing();
    for (const auto& e : m_endpoints) e->report();
    const bool inactive = m_client && m_state.load() != State::Active;  // opened to list
    const bool looking = m_state.load() != State::Active && !m_endpoints.empty();
    if ((inactive && Clock::now() >= m_activateAt) || (looking && Clock::now() >= nextOpen)) {
      nextOpen = Clock::now() + kRetryInterval;
      if (open()) m_graphChanged.store(true);
    }
    if (m_graphChanged.exchange(false) || Clock::now() >= nextReconcile) {
      nextReconcile = Clock::time_point::max();
      attachWaiting();
      if (m_client) {
        bool again = false;
        for (const auto& e : m_endpoints)
          if (e->m_attached && e->reconcile(m_client)) again = true;
        if (again) nextReconcile = Clock::now() + kReconnectInterval;
      }
    }
    lock.lock();
    auto until = Clock::now() + std::chrono::seconds(1);  // a lost wake-up costs a second at most
    if (m_state.load() != State::Active && !m_endpoints.empty()) until = std::min(until, nextOpen);
    if (m_client && m_state.load() != State::Active) until = std::min(until, m_activateAt);
    until = std::min(until, nextReconcile);
    if (m_state.load() == State::Active && !m_endpoints.empty())
      until = std::min(until, Clock::now() + kCountEvery);
    if (!m_closing.empty()) until = std::min(until, Clock::now() + std::chrono::milliseconds(1));
    m_wakeUp.wait_until(lock, until, [this] {
      return m_stopping || !m_tasks.empty() || m_serverGone.load() || m_graphChanged.load();
    });
  }
  lock.unlock();
  // Those still closing send what they owe first, as they would have had the program gone on.
  for (Closing& c : m_closing) {
    while (!settleStep(c)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    finishClosing(c.endpoint);
  }
  m_closing.clear();
  if (m_client) {
    // The endpoints' last messages went out in the cycles before; deactivating first cuts every
    // connection, so that no peer reads a buffer twice. Either may wait for a server that hangs:
    // see shutdown().
    jack_deactivate(m_client);
    jack_client_close(m_client);
    m_client = nullptr;
    // No process thread of ours runs any more, even one the close cut off in our callback: a
    // remove() that comes later must not wait for its cycle to end.
    apply(Event::Closed);
    m_cycle.store(0);
  }
  lock.lock();
  m_finished = true;
  m_ended.notify_all();
}

jack_client_t* JackSession::client() {
  // The server may have gone since the loop last looked: never hand out its dead client.
  if (m_serverGone.exchange(false)) onServerGone();
  if (m_state.load() != State::Active) open();
  return m_state.load() == State::Active ? m_client : nullptr;
}

bool JackSession::open() {
  if (m_state.load() == State::Active) return true;
  // The listing's client first. While inactive it may not hear its server go (PipeWire's libjack
  // tells an inactive client nothing): then it fails to activate, is closed, and one is opened
  // anew.
  if (m_client && activate()) return true;
  return connect() && activate();
}

// A client of a server that answers, with its callbacks set, not yet active. Activating costs
// another ~12 ms with jackd2, and the server's work besides (it adds the client to its graph): the
// listing at start-up, which the window waits for, does not need it, and it is left until the
// window is up (kActivateDelay) or something needs the client sooner.
bool JackSession::connect() {
  // No process thread of ours runs now (the last client, if any, is closed): a count that a
  // cancelled thread left odd starts even again.
  m_cycle.store(0);
  m_cycleClock.reset();
  jack_status_t status{};
  jack_client_t* client = jack_client_open(kClientName, JackNoStartServer, &status);
  if (!client) {
    apply(Event::OpenFailed);
    return false;
  }
  // jackd2 calls the info variant when one is set; PipeWire's libjack only the plain one.
  jack_on_shutdown(client, onGone, this);
  jack_on_info_shutdown(
      client,
      [](jack_status_t, const char*, void* self) {
        onGone(self);
        holdNotifier(self);
      },
      this);
  jack_set_port_registration_callback(
      client, [](jack_port_id_t, int, void* self) { onChanged(self); }, this);
  jack_set_client_registration_callback(
      client,
      [](const char*, int registered, void* self) {
        if (registered)
          static_cast<JackSession*>(self)->m_clientAdded.store(
              std::chrono::steady_clock::now().time_since_epoch().count());
        onChanged(self);
      },
      this);
  jack_set_port_connect_callback(
      client, [](jack_port_id_t, jack_port_id_t, int, void* self) { onChanged(self); }, this);
  jack_set_graph_order_callback(
      client,
      [](void* self) {
        onChanged(self);
        return 0;
      },
      this);
  jack_set_process_callback(client, onProcess, this);
  jack_set_freewheel_callback(
      client,
      [](int starting, void* self) {
        static_cast<JackSession*>(self)->m_freewheel.store(starting != 0);
      },
      this);
  jack_set_xrun_callback(
      client,
      [](void* self) {
        static_cast<JackSession*>(self)->m_xruns.fetch_add(1);
        static_cast<JackSession*>(self)->m_xrunsHeard.fetch_add(1);
        return 0;
      },
      this);
  m_xruns.store(0);
  m_xrunSeconds = 0;
  m_xrunWindow = std::chrono::steady_clock::now();
  m_cycleAtWindow = 0;
  m_ourCycles = {};
  m_client = client;
  return true;
}

bool JackSession::activate() {
  if (jack_activate(m_client) != 0) {
    // A live server that refused, or one that went before we were active: no other client of
    // ours has opened since, so closing is safe (see onServerGone).
    jack_client_close(m_client);
    m_client = nullptr;
    apply(Event::OpenFailed);
    return false;
  }
  apply(Event::Opened);
  if (std::exchange(m_lost, false))
    logEvent(LogRoom::Servers, LogLevel::Info, "jack back", "JACK: the server is back");
  // A leaving endpoint is attached again too: one still closing (a renewal took its ports) owes
  // its peer the Note Offs of the keys held when it closed.
  for (const auto& e : m_endpoints) {
    e->m_attached = e->attach(m_client);
    if (e->m_attached) publish(e.get());
  }
  m_graphChanged.store(true);
  return true;
}

// Our client is opened anew where the server no longer runs it as it should: a new client starts
// with a fresh table of the other clients, and the outputs reconnect as after a restart, keeping
// what is sent meanwhile. Two ways to starve (cycle_rules::starved, cycle_rules::wakeUpLost):
// - jackd 1.9.22 after a restart can report our own client late in each cycle, and run our
//   callback not at all, or every other cycle (a beat our outputs write on: cycle_rules::beat);
// - libjack 1.9.21 keeps, per client number, the semaphore that wakes that client, and opens it
//   by name when it hears of the client. When a short-lived client goes and a new one gets its
//   number, the removal can be heard after the addition: the new client is then never woken, the
//   graph stops at it, and jackd reports an xrun every cycle.
const char* JackSession::starved() {
  using Clock = std::chrono::steady_clock;
  if (!m_client || m_state.load() != State::Active || m_endpoints.empty()) return nullptr;
  const auto now = Clock::now();
  const bool ours = ourCyclesLost(now);  // both count on: neither may judge a stale window
  const bool peer = peerWakeUpLost(now);
  if (!ours && !peer) return nullptr;
  if (now - m_renewed < m_renewalGap) return nullptr;
  m_renewalGap = now - m_renewed < kRenewalCalm
                     ? std::min<Clock::duration>(2 * m_renewalGap, kMaxRenewalGap)
                     : Clock::duration(kFirstRenewalGap);
  m_renewed = now;
  return ours ? "the server ran its cycles without it"
              : "the graph stalled at a peer it never woke";
}

// jackd2's libjack reads the server's frame counter (jack_last_frame_time) from the server's own
// shared timer, on any thread, without waiting: a server that is stopped halts it. PipeWire's
// libjack answers from our own last cycle, and its wake-ups are its own: not counted there.
bool JackSession::ourCyclesLost(std::chrono::steady_clock::time_point now) {
  if (pipewireVersion() != 0) return false;
  const jack_nframes_t period = jack_get_buffer_size(m_client);
  if (period == 0) return false;
  const jack_nframes_t serverFrames = jack_last_frame_time(m_client);
  const std::uint64_t count = m_cycle.load();  // two a cycle
  CycleWindow& w = m_ourCycles;
  const std::uint64_t serverCycles =
      static_cast<jack_nframes_t>(serverFrames - w.serverFrames) / period;
  // More cycles than the time allows: the counter was set anew (a change of the period restarts
  // the server's driver). The window begins again, judging nothing.
  const double mostCycles = 2 + 2 * std::chrono::duration<double>(now - w.began).count() *
                                    jack_get_sample_rate(m_client) / period;
  if (!w.open || w.period != period || static_cast<double>(serverCycles) > mostCycles) {
    w = {true, serverFrames, count, period, now, w.starvedInARow};
    return false;
  }
  if (serverCycles < cycle_rules::kStarvedWindowCycles || now - w.began < kCountEvery) return false;
  const bool starved = cycle_rules::starved(serverCycles, (count - w.ourCount) / 2);
  w = {true, serverFrames, count, period, now, starved ? w.starvedInARow + 1 : 0};
  return w.starvedInARow >= 2;
}

// Counted over each second: xruns in most of our cycles, in two seconds in a row, begun soon
// after another client came.
bool JackSession::peerWakeUpLost(std::chrono::steady_clock::time_point now) {
  using Clock = std::chrono::steady_clock;
  if (now - m_xrunWindow < std::chrono::seconds(1)) return false;
  const jack_nframes_t frames = jack_get_buffer_size(m_client);  // read locally, as the sink does
  const std::uint64_t serverCycles =
      frames > 0
          ? static_cast<std::uint64_t>(std::chrono::duration<double>(now - m_xrunWindow).count() *
                                       jack_get_sample_rate(m_client) / frames)
          : 0;
  m_xrunWindow = now;
  const bool serverStalled = m_serverStalls.exchange(0) > 0;
  const std::uint64_t count = m_cycle.load();                  // two a cycle
  const std::uint64_t cycles = (count - m_cycleAtWindow) / 2;  // both start at 0 in connect()
  m_cycleAtWindow = count;
  m_xrunSeconds = cycle_rules::wakeUpLost(m_xruns.exchange(0), cycles, serverCycles, serverStalled)
                      ? m_xrunSeconds + 1
                      : 0;
  const auto added = Clock::time_point(Clock::duration(m_clientAdded.load()));
  return m_xrunSeconds >= cycle_rules::kWakeUpLostSeconds &&
         now - added <= std::chrono::nanoseconds(cycle_rules::kWakeUpLostAfterNs);
}

void JackSession::renew(const char* why) {
  logEvent(LogRoom::Servers, LogLevel::Warning, "jack renewed",
           std::string("JACK: our client was opened anew: ") + why);
  std::vector<JackEndpoint*> renewed;
  for (const auto& e : m_endpoints)
    if (e->m_attached) renewed.push_back(e.get());
  onServerGone(JackEndpoint::Detach::Renewal);
  // The outputs wait for the new client, which opens at once. If the server cannot be opened
  // now it has gone, and they fail as after its death.
  if (!open())
    for (JackEndpoint* e : renewed) e->detach(nullptr, JackEndpoint::Detach::ServerGone);
}

void JackSession::onServerGone(JackEndpoint::Detach why) {
  if (!m_client) return;
  // A renewed client's server is there, and runs on: once the slots are empty our cycles write
  // nothing and clear nothing, and a peer would read the last cycle's messages again in each
  // until the close. Deactivated first, the client has no cycle and no connection left.
  if (why == JackEndpoint::Detach::Renewal) jack_deactivate(m_client);
  if (why == JackEndpoint::Detach::ServerGone && m_state.load() == State::Active) {
    m_lost = true;
    logEvent(LogRoom::Servers, LogLevel::Warning, "jack lost",
             "JACK: the server went away; our ports wait for it");
  }
  apply(Event::ServerGone);
  {
    std::lock_guard slots(m_slotMutex);
    for (auto& slot : m_slots) slot.store(nullptr);
  }
  awaitCycleEnd();
  for (const auto& e : m_endpoints) {
    if (e->m_attached) e->detach(m_client, why);
    e->m_attached = false;
  }
  // The dead client is closed here, before a new one opens, and never after: libjack 1.9.21
  // crashes closing a client of a dead server once another client of the process has opened.
  // PipeWire's libjack from 1.3.81 on frees a closed client's port buffers after the memory they
  // lie in went with the dead server's connection: closing the client aborts the process if a
  // port of ours was linked (free() of a freed map). There it is only deactivated, so that it
  // has no cycle, and left: a few threads and some memory each time PipeWire dies.
  if (why == JackEndpoint::Detach::ServerGone && pipewireVersion() >= 1'003'081)
    jack_deactivate(m_client);
  else
    jack_client_close(m_client);
  m_client = nullptr;  // the slots fill again as the endpoints attach to the next client
}

std::vector<std::string> JackSession::midiInputs() {
  std::vector<std::string> names;
  if (m_serverGone.exchange(false)) onServerGone();
  if (!m_client && connect()) m_activateAt = std::chrono::steady_clock::now() + kActivateDelay;
  jack_client_t* c = m_client;
  if (!c) return names;
  const std::string own = std::string(jack_get_client_name(c)) + ":";
  if (const char** ports = jack_get_ports(c, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput)) {
    for (const char** p = ports; *p; ++p)
      if (std::string(*p).rfind(own, 0) != 0) names.emplace_back(*p);
    jack_free(ports);
  }
  return names;
}

bool JackSession::add(const std::shared_ptr<JackEndpoint>& endpoint) {
  // Every endpoint has a slot of its own: those leaving are out of the slots already.
  if (endpoint->m_leaving.load() || m_endpoints.size() >= kMaxEndpoints) return false;
  m_endpoints.push_back(endpoint);
  if (!m_client) return true;  // attached when a client opens
  endpoint->m_attached = endpoint->attach(m_client);
  if (!endpoint->m_attached) return true;
  publish(endpoint.get());
  // Connections wait for the server's next graph (three periods or so): not for the caller.
  m_graphChanged.store(true);
  return true;
}

void JackSession::publish(JackEndpoint* endpoint) {
  std::lock_guard slots(m_slotMutex);
  for (auto& slot : m_slots) {
    if (!slot.load()) {
      slot.store(endpoint);
      return;
    }
  }
}

void JackSession::unpublish(const JackEndpoint* endpoint) {
  {
    std::lock_guard slots(m_slotMutex);
    for (auto& slot : m_slots)
      if (slot.load() == endpoint) slot.store(nullptr);
  }
  awaitCycleEnd();
}

// What the cycle uses may be freed once this returns, so while the server is there it is waited
// for with no time limit: our callback takes no lock and waits for nothing, so a cycle always
// ends within a period. Once the server has gone, libjack 1.9.21 may have cancelled the process
// thread (its threads are asynchronously cancellable) in the middle of our callback: the count
// then stays odd for good, and the thread runs no more.
void JackSession::awaitCycleEnd() {
  const std::uint64_t cycle = m_cycle.load();
  if (cycle % 2 == 0) return;
  const auto gone = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
  while (m_cycle.load() == cycle) {
    const bool serverGone = m_serverGone.load() || m_state.load() != State::Active;
    if (serverGone && std::chrono::steady_clock::now() >= gone) return;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

void JackSession::remove(const std::shared_ptr<JackEndpoint>& endpoint) {
  endpoint->m_leaving.store(true);
  awaitCycleEnd();  // from the next cycle on, only its leave() runs
  post([self = shared_from_this(), endpoint] { self->beginClosing(endpoint); });
}

// A leaving endpoint sends what it owes (settled()) before its ports are disconnected, for
// cycle_rules::settleTime at the most, counted in time while cycles run: a server whose cycles have
// not come for kStoppedAfter is stopped, and the last messages (a held key's Note Off) still go
// once it resumes. Meanwhile the session's thread goes on with its other work (an output opened in
// its place), and a leaving output that lost its connection just before (a patchbay cut it, the
// client was renewed) connects again as the others do, and sends what it owes.
void JackSession::beginClosing(const std::shared_ptr<JackEndpoint>& endpoint) {
  if (!endpoint->m_attached || !m_client || endpoint->settled()) {
    finishClosing(endpoint);  // at once: its port's name is free for the next task
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  const jack_nframes_t rate = jack_get_sample_rate(m_client);  // both read locally
  const std::int64_t periodNs = rate ? jack_get_buffer_size(m_client) * 1'000'000'000LL / rate : 0;
  m_closing.push_back({endpoint, std::chrono::nanoseconds(cycle_rules::settleTime(periodNs)),
                       m_cycle.load(), now, now, now});
}

bool JackSession::settleStep(Closing& c) {
  using Clock = std::chrono::steady_clock;
  constexpr auto kStoppedAfter = std::chrono::milliseconds(250);  // above the longest period
  if (!c.endpoint->m_attached || !m_client || m_serverGone.load() || c.endpoint->settled())
    return true;
  const auto now = Clock::now();
  const std::uint64_t cycle = m_cycle.load();
  if (cycle != c.lastCycle) c.lastCycleAt = now;
  if (now - c.lastCycleAt < kStoppedAfter) c.timeLeft -= now - c.before;
  c.lastCycle = cycle;
  c.before = now;
  if (c.timeLeft <= Clock::duration::zero()) return true;
  if (now >= c.nextReconcile) {
    c.nextReconcile = now + kReconnectInterval;
    c.endpoint->reconcile(m_client);
  }
  return false;
}

void JackSession::finishClosing(const std::shared_ptr<JackEndpoint>& endpoint) {
  if (endpoint->m_attached && m_client) endpoint->disconnect(m_client);
  unpublish(endpoint.get());
  if (endpoint->m_attached && m_client) endpoint->detach(m_client, JackEndpoint::Detach::Leaving);
  endpoint->m_attached = false;
  std::erase(m_endpoints, endpoint);
  m_graphChanged.store(true);  // its port names are free for an endpoint that waits
}

void JackSession::settleClosing() {
  for (std::size_t i = 0; i < m_closing.size();) {
    if (!settleStep(m_closing[i])) {
      ++i;
      continue;
    }
    const auto endpoint = m_closing[i].endpoint;
    m_closing.erase(m_closing.begin() + static_cast<std::ptrdiff_t>(i));
    finishClosing(endpoint);
  }
}

// An endpoint whose ports could not be registered when it came (another of ours, leaving, still
// held their names) is tried again whenever the graph changes.
void JackSession::attachWaiting() {
  if (!m_client || m_state.load() != State::Active) return;
  for (const auto& e : m_endpoints) {
    if (e->m_attached || e->m_leaving.load()) continue;
    e->m_attached = e->attach(m_client);
    if (e->m_attached) publish(e.get());
  }
}

void JackSession::onGone(void* self) {
  auto* s = static_cast<JackSession*>(self);
  s->m_serverGone.store(true);
  s->m_wakeUp.notify_all();  // no lock: libjack wants this callback async-signal-safe
}

// libjack 1.9.21 closes a client by cancelling its notification thread wherever that thread is
// (asynchronous cancellation). A server that stops says so on that thread, which then reads on
// and handles the other clients as they go, each under libjack's lock of its table of clients:
// cancelled in there, the thread takes the lock with it, and our close, and every client the
// process opens later, wait for that lock for good. So after the server's word the thread waits
// here, where cancelling it is safe, for our close to end it: 5 s at the most, then it reads on.
// PipeWire's libjack (1.4 calls this variant too) cancels no thread: its close waits for this
// callback to return, and a hold would hold the close, and the port's return, for those 5 s.
void JackSession::holdNotifier(void* self) {
  auto* s = static_cast<JackSession*>(self);
  if (pipewireVersion() != 0) return;
  if (!pthread_equal(pthread_self(), s->m_notifier.load())) return;  // the process thread's word
  int type = 0;
  pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, &type);
  for (int i = 0; i < 50; ++i) {
    const timespec tenth{0, 100'000'000};
    nanosleep(&tenth, nullptr);  // a cancellation point
  }
  pthread_setcanceltype(type, nullptr);
}

void JackSession::onChanged(void* self) {
  auto* s = static_cast<JackSession*>(self);
  s->m_notifier.store(pthread_self());
  s->m_graphChanged.store(true);
  s->wake();
}

int JackSession::onProcess(jack_nframes_t frames, void* self) {
  auto* s = static_cast<JackSession*>(self);
  // libjack cancels a process thread that overstays a close, asynchronously: the count must
  // still end even, so the cycle's end is a destructor, which the cancellation's unwinding runs.
  struct Cycle {
    std::atomic<std::uint64_t>& count;
    explicit Cycle(std::atomic<std::uint64_t>& c) : count(c) { count.fetch_add(1); }
    ~Cycle() { count.fetch_add(1); }
    Cycle(const Cycle&) = delete;
    Cycle& operator=(const Cycle&) = delete;
  } running(s->m_cycle);
  JackCycle cycle{frames, s->m_freewheel.load(std::memory_order_relaxed),
                  s->m_xrunsHeard.load(std::memory_order_relaxed)};
  // The client is the session thread's, read here by the process thread that its activation
  // started and that its close ends.
  CycleClock::Times times;
  jack_time_t nextUs = 0;
  float estimatedUs = 0;
  const jack_nframes_t rate = jack_get_sample_rate(s->m_client);  // the client's own copy
  if (rate > 0 && jack_get_cycle_times(s->m_client, &times.frameTime, &times.startUs, &nextUs,
                                       &estimatedUs) == 0) {
    times.periodUs = 1e6f * static_cast<float>(frames) / static_cast<float>(rate);
    times.wokeNs = nowNs();
    s->m_cycleClock.judge(cycle, times);
  } else {
    s->m_cycleClock.reset();
  }
  if (cycle.periodNs > 0 &&
      cycle_rules::stall(cycle.gapNs, cycle.periodNs, cycle_rules::kServerStoppedNs))
    s->m_serverStalls.fetch_add(1, std::memory_order_relaxed);
  for (auto& slot : s->m_slots)
    if (JackEndpoint* e = slot.load()) {
      if (e->m_leaving.load())
        e->leave(cycle);
      else
        e->process(cycle);
    }
  s->m_cycleClock.ended(nowNs());
  return 0;
}

}  // namespace midi
