// SPDX-License-Identifier: GPL-3.0-or-later
#include "port_output.h"

#include <RtMidi.h>
#include <alsa/asoundlib.h>
#include <jack/jack.h>

#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <new>
#include <sstream>

namespace midi {

namespace {

void silentAlsa(const char*, int, const char*, int, const char*, ...) {}
void silentJack(const char*) {}
void silentRtMidi(RtMidiError::Type, const std::string&, void*) {}

}  // namespace

void prepareMidiPlatform() {
  static const bool once = [] {
    snd_lib_error_set_handler(silentAlsa);
    jack_set_error_function(silentJack);
    jack_set_info_function(silentJack);
    setenv("JACK_NO_START_SERVER", "1", 1);  // listing ports must never start a JACK server
    return true;
  }();
  (void)once;
}

namespace {

RtMidi::Api rtApi(PortApi api) {
  return api == PortApi::Alsa ? RtMidi::LINUX_ALSA : RtMidi::UNIX_JACK;
}

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

// An RtMidiOut of api, or nullptr when that MIDI system is not reachable.
std::unique_ptr<RtMidiOut> makeOut(PortApi api) {
  prepareMidiPlatform();
  // Without the sequencer device ALSA cannot have ports; don't even ask.
  if (api == PortApi::Alsa && access("/dev/snd/seq", R_OK | W_OK) != 0) return nullptr;
  QuietCerr quiet;
  try {
    auto out = std::make_unique<RtMidiOut>(rtApi(api), kClientName);
    out->setErrorCallback(silentRtMidi, nullptr);
    return out;
  } catch (...) {
    return nullptr;
  }
}

// Index of portName among out's ports, or -1.
int findPort(RtMidiOut& out, const std::string& portName) {
  const unsigned count = out.getPortCount();
  for (unsigned i = 0; i < count; ++i)
    if (out.getPortName(i) == portName) return static_cast<int>(i);
  return -1;
}

}  // namespace

std::string cutUtf8(const std::string& text, std::size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  std::size_t end = maxBytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

std::string alsaDisplayName(const std::string& rtMidiName) {
  std::string name = rtMidiName;
  const auto space = name.rfind(' ');
  if (space != std::string::npos) {
    const std::string address = name.substr(space + 1);
    const auto colon = address.find(':');
    if (colon != std::string::npos && colon > 0 &&
        address.find_first_not_of("0123456789:") == std::string::npos) {
      if (std::atoi(address.substr(0, colon).c_str()) == 0) return {};  // the system client
      name.erase(space);
    }
  }
  if (name.rfind(kClientName, 0) == 0) return {};  // a port of our own
  const auto colon = name.find(':');
  return colon == std::string::npos ? name : name.substr(colon + 1);
}

std::vector<PortInfo> listOutputPorts() {
  std::vector<PortInfo> ports;
  for (PortApi api : {PortApi::Alsa, PortApi::Jack}) {
    auto out = makeOut(api);
    if (!out) continue;
    try {
      const unsigned count = out->getPortCount();
      for (unsigned i = 0; i < count; ++i) {
        const std::string name = out->getPortName(i);
        std::string display = api == PortApi::Alsa ? alsaDisplayName(name) : name;
        if (display.empty() || name.rfind(kClientName, 0) == 0) continue;
        ports.push_back({api, name, cutUtf8(display, sizeof(MidiOutCaps::szPname) - 1)});
      }
    } catch (...) {
      // a MIDI system that fails while listing contributes no ports
    }
  }
  return ports;
}

PortOutput::~PortOutput() {
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

ResultCode PortOutput::open(const PortInfo& port, std::unique_ptr<PortOutput>& out) {
  out.reset();
  std::unique_ptr<PortOutput> p(new (std::nothrow) PortOutput);
  if (!p) return MMSYSERR_NOMEM;
  p->m_port = port;
  p->m_out = makeOut(port.api);
  if (!p->m_out) return MMSYSERR_NODRIVER;
  p->m_out->setErrorCallback([](RtMidiError::Type type, const std::string& text,
                                void* self) { onError(type, text, self); },
                             p.get());
  try {
    const int index = findPort(*p->m_out, port.portName);
    if (index < 0) return MMSYSERR_ERROR;  // the port has gone since start-up
    p->m_out->openPort(static_cast<unsigned>(index), "out");
  } catch (...) {
    return MMSYSERR_ERROR;
  }
  if (p->m_failed || !p->m_out->isPortOpen()) return MMSYSERR_ERROR;
  out = std::move(p);
  return MMSYSERR_NOERROR;
}

bool PortOutput::targetStillThere() {
  try {
    return findPort(*m_out, m_port.portName) >= 0;
  } catch (...) {
    return false;
  }
}

ResultCode PortOutput::send(std::uint32_t message) {
  const int length = shortMessageLength(message);
  if (length == 0) return MMSYSERR_INVALPARAM;
  const unsigned char bytes[3] = {static_cast<unsigned char>(message),
                                  static_cast<unsigned char>(message >> 8),
                                  static_cast<unsigned char>(message >> 16)};
  m_failed = false;
  try {
    m_out->sendMessage(bytes, static_cast<std::size_t>(length));
  } catch (...) {
    m_failed = true;
  }
  // The message is on its way; only now look whether anybody is still there to get it. A port
  // that has gone (its program quit, its cable pulled) fails every send from then on.
  if (m_failed || !targetStillThere()) return MMSYSERR_ERROR;
  return MMSYSERR_NOERROR;
}

}  // namespace midi
