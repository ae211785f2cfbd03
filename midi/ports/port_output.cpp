// SPDX-License-Identifier: GPL-3.0-or-later
#include "midi/ports/port_output.h"

#include <RtMidi.h>
#include <alsa/asoundlib.h>

#include <unistd.h>

#include <iostream>
#include <new>
#include <sstream>
#include <system_error>
#include <utility>

#include "midi/ports/port_watch.h"
#include "midi/servers/client_name.h"

namespace midi {

namespace {

void silentAlsa(const char*, int, const char*, int, const char*, ...) {}
void silentRtMidi(RtMidiError::Type, const std::string&, void*) {}

}  // namespace

void prepareMidiPlatform() {
  static const bool once = [] {
    snd_lib_error_set_handler(silentAlsa);
    return true;
  }();
  (void)once;
}

namespace {

// RtMidi prints to std::cerr from its constructors, before an error callback can be set.
class QuietCerr {
 public:
  QuietCerr() : m_old(std::cerr.rdbuf(m_sink.rdbuf())) {}
  ~QuietCerr() { std::cerr.rdbuf(m_old); }
  QuietCerr(const QuietCerr&) = delete;
  QuietCerr& operator=(const QuietCerr&) = delete;

 private:
  std::ostringstream m_sink;
  std::streambuf* m_old;
};

// An RtMidiOut on the sequencer, or nullptr when the sequencer is not reachable.
std::unique_ptr<RtMidiOut> makeOut() {
  prepareMidiPlatform();
  // Without the sequencer device ALSA cannot have ports; don't even ask.
  if (access("/dev/snd/seq", R_OK | W_OK) != 0) return nullptr;
  QuietCerr quiet;
  try {
    auto out = std::make_unique<RtMidiOut>(RtMidi::LINUX_ALSA, kClientName);
    out->setErrorCallback(silentRtMidi, nullptr);
    return out;
  } catch (...) {
    return nullptr;
  }
}

// Index of the port among out's ports, found by its names (for ALSA, never by its numbers), or
// -1. On success port.portName becomes the name the port has now.
int findPort(RtMidiOut& out, PortInfo& port) {
  const unsigned count = out.getPortCount();
  for (unsigned i = 0; i < count; ++i) {
    std::string name = out.getPortName(i);
    if (samePort(port.api, name, port.portName)) {
      port.portName = std::move(name);
      return static_cast<int>(i);
    }
  }
  return -1;
}

constexpr auto kRetryInterval = std::chrono::milliseconds(250);

}  // namespace

std::vector<PortInfo> listAlsaPorts() {
  std::vector<PortInfo> ports;
  auto out = makeOut();
  if (!out) return ports;
  try {
    const unsigned count = out->getPortCount();
    for (unsigned i = 0; i < count; ++i) {
      const std::string name = out->getPortName(i);
      const std::string display = alsaDisplayName(name);
      if (!display.empty())
        ports.push_back({PortApi::Alsa, name, cutUtf8(display, sizeof(MidiOutCaps::szPname) - 1)});
    }
  } catch (...) {
    // a sequencer that fails while listing contributes no ports
  }
  return ports;
}

PortOutput::~PortOutput() {
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
  }
  m_wake.notify_all();
  if (m_worker.joinable()) m_worker.join();
  m_watch.reset();  // no more notifications; then the RtMidi client goes
  if (!m_out) return;
  try {
    m_out->closePort();
  } catch (...) {
  }
}

void PortOutput::onError(int type, const std::string&, void* self) {
  if (type != RtMidiError::WARNING && type != RtMidiError::DEBUG_WARNING)
    static_cast<PortOutput*>(self)->m_failed = true;
}

std::unique_ptr<RtMidiOut> PortOutput::connect(const PortInfo& port, PortOutput* owner,
                                               ResultCode& rc) {
  PortInfo target = port;
  rc = MMSYSERR_NODRIVER;
  auto out = makeOut();
  if (!out) return nullptr;
  rc = MMSYSERR_ERROR;  // from here on: the port has gone, or the MIDI system refused it
  owner->m_failed = false;
  out->setErrorCallback([](RtMidiError::Type type, const std::string& text,
                           void* self) { onError(type, text, self); },
                        owner);
  try {
    const int index = findPort(*out, target);
    if (index < 0) return nullptr;
    out->openPort(static_cast<unsigned>(index), "out");
  } catch (...) {
    return nullptr;
  }
  if (owner->m_failed || !out->isPortOpen()) return nullptr;
  std::lock_guard lock(owner->m_mutex);
  owner->m_port.portName = target.portName;
  rc = MMSYSERR_NOERROR;
  return out;
}

ResultCode PortOutput::open(const PortInfo& port, std::unique_ptr<PortOutput>& out) {
  out.reset();
  std::unique_ptr<PortOutput> p(new (std::nothrow) PortOutput);
  if (!p) return MMSYSERR_NOMEM;
  p->m_port = port;
  // The watch first: a port that goes between the two is then seen going.
  p->m_watch = PortWatch::start(
      port, [self = p.get()](PortWatch::Event e) { self->onWatch(static_cast<int>(e)); });
  ResultCode rc = MMSYSERR_NOERROR;
  p->m_out = connect(port, p.get(), rc);
  if (!p->m_out) return rc;
  try {
    p->m_worker = std::thread(&PortOutput::recover, p.get());
  } catch (const std::system_error&) {
    // Without a worker the output still plays; it just does not come back by itself.
  }
  out = std::move(p);
  return MMSYSERR_NOERROR;
}

PortOutput::State PortOutput::state() const {
  std::lock_guard lock(m_mutex);
  return m_state;
}

void PortOutput::onWatch(int event) {
  std::lock_guard lock(m_mutex);
  switch (static_cast<PortWatch::Event>(event)) {
    case PortWatch::Event::PortGone: m_state = State::Lost; break;
    case PortWatch::Event::PortBack: m_portBack = m_state != State::Connected; break;
    case PortWatch::Event::SystemGone:
      m_state = State::Lost;
      m_systemGone = true;
      break;
  }
  m_wake.notify_all();
}

void PortOutput::recover() {
  std::unique_lock lock(m_mutex);
  while (!m_stopping) {
    m_wake.wait(lock, [this] { return m_stopping || m_systemGone || m_portBack; });
    if (m_systemGone) awaitSystem(lock);
    if (m_portBack && !m_stopping) reconnect(lock);
  }
}

// The sequencer has gone. Its dead clients are closed first; then it is looked for every 250 ms
// through a new watch.
void PortOutput::awaitSystem(std::unique_lock<std::mutex>& lock) {
  m_systemGone = false;
  m_portBack = false;
  auto deadOut = std::move(m_out);
  auto deadWatch = std::move(m_watch);
  lock.unlock();
  deadWatch.reset();
  deadOut.reset();
  std::unique_ptr<PortWatch> watch;
  while (true) {
    watch = PortWatch::start(m_port, [this](PortWatch::Event e) { onWatch(static_cast<int>(e)); });
    lock.lock();
    if (watch || m_stopping) break;
    m_wake.wait_for(lock, kRetryInterval, [this] { return m_stopping; });
    if (m_stopping) break;
    lock.unlock();
  }
  if (m_stopping || m_systemGone) {  // gone again already: the loop starts over
    lock.unlock();
    watch.reset();
    lock.lock();
    return;
  }
  m_watch = std::move(watch);
  lock.unlock();
  const bool present = m_watch->portPresent();
  lock.lock();
  m_portBack = m_portBack || present;
}

// A port of the same name is there again: a new connection, then the Note Offs of every note the
// peer may still hold, then messages flow again.
void PortOutput::reconnect(std::unique_lock<std::mutex>& lock) {
  m_portBack = false;
  if (m_state == State::Connected) return;  // the port's return was heard twice
  m_state = State::Reconnecting;
  const PortInfo port = m_port;
  lock.unlock();
  ResultCode rc = MMSYSERR_NOERROR;
  auto fresh = connect(port, this, rc);
  lock.lock();
  if (!fresh || m_systemGone || m_state != State::Reconnecting) {
    if (m_state == State::Reconnecting) m_state = State::Lost;
    lock.unlock();
    fresh.reset();
    lock.lock();
    return;
  }
  for (std::size_t i = 0; i < m_sounding.size(); ++i) {
    if (!m_sounding.test(i)) continue;
    const unsigned char off[3] = {static_cast<unsigned char>(0x80 | (i >> 7)),
                                  static_cast<unsigned char>(i & 0x7F), 0};
    try {
      fresh->sendMessage(off, 3);
    } catch (...) {
    }
  }
  m_sounding.reset();
  auto old = std::exchange(m_out, std::move(fresh));
  m_state = State::Connected;
  lock.unlock();
  old.reset();
  lock.lock();
}

void PortOutput::track(const unsigned char* bytes, int length) {
  const int kind = bytes[0] & 0xF0;
  const std::size_t channel = bytes[0] & 0x0F;
  if (length < 3) return;
  if (kind == 0x90 && bytes[2] > 0) {
    m_sounding.set(channel << 7 | bytes[1]);
  } else if (kind == 0x80 || kind == 0x90) {
    m_sounding.reset(channel << 7 | bytes[1]);
  } else if (kind == 0xB0 && (bytes[1] == 120 || bytes[1] == 123)) {  // all sound / notes off
    for (std::size_t note = 0; note < 128; ++note) m_sounding.reset(channel << 7 | note);
  }
}

ResultCode PortOutput::send(std::uint32_t message) {
  const int length = shortMessageLength(message);
  if (length == 0) return MMSYSERR_INVALPARAM;
  const unsigned char bytes[3] = {static_cast<unsigned char>(message),
                                  static_cast<unsigned char>(message >> 8),
                                  static_cast<unsigned char>(message >> 16)};
  std::lock_guard lock(m_mutex);
  // Nothing is written to a port that has gone. A Note Off that cannot go stays remembered and
  // is sent when the port comes back.
  if (m_state != State::Connected || !m_out) return MMSYSERR_ERROR;
  m_failed = false;
  try {
    m_out->sendMessage(bytes, static_cast<std::size_t>(length));
  } catch (...) {
    m_failed = true;
  }
  if (m_failed) return MMSYSERR_ERROR;
  track(bytes, length);
  return MMSYSERR_NOERROR;
}

}  // namespace midi
