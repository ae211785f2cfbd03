// SPDX-License-Identifier: GPL-3.0-or-later
#include "midi/service/system_midi_service.h"

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <string>
#include <system_error>

#include "midi/log.h"

namespace midi {

namespace {

// How long the window waits for the ALSA session to list its ports.
constexpr auto kListingDeadline = std::chrono::milliseconds(250);
// And for a JACK server: jackd answers a new client only at its next cycle, up to 186 ms away at
// 8,192 frames and 44.1 kHz, and the Mapper's own client may be opening just before ours.
constexpr auto kJackListingDeadline = kListingDeadline + std::chrono::milliseconds(2 * 186);
// How long closing waits for the outputs closed last to go, and then for the JACK session.
constexpr auto kClosingDeadline = std::chrono::milliseconds(400);
constexpr auto kSessionDeadline = std::chrono::milliseconds(300);

// The environment is set before the first thread of ours starts: setenv is not safe beside any
// thread that may read it.
std::shared_ptr<JackSession> prepareThenStartJack() {
  prepareSynthPlatform();
  return JackSession::start();  // sets JACK's environment before its thread starts
}

}  // namespace

SystemMidiService::SystemMidiService(SynthConfig synth)
    : m_jack(prepareThenStartJack()),
      m_alsa(AlsaSession::start()),
      m_synthConfig(std::move(synth)) {
  try {
    m_listing = std::async(std::launch::async, [this] {
      // Qt starts meanwhile on the main thread, and on two cores it should keep one. Only this
      // thread runs at the lower priority: a thread inherits it for good.
      setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 5);
      return listOutputPorts();
    });
    m_preparedMapper = std::async(std::launch::async, [config = m_synthConfig, jack = m_jack] {
      std::unique_ptr<SynthOutput> output;
      const ResultCode rc = SynthOutput::open(config, output, false, jack);
      return PreparedSynth{rc, std::move(output)};
    });
  } catch (const std::system_error&) {
    // No threads to be had: everything happens when it is first asked for.
    if (!m_listing.valid()) m_ports = listOutputPorts();
  }
}

std::vector<PortInfo> SystemMidiService::listOutputPorts() {
  std::vector<PortInfo> ports = listAlsaPorts(m_alsa, kListingDeadline);
  if (!m_jack) return ports;
  // The session's thread asks the server; a server that does not answer in time has no ports.
  auto names = std::make_shared<std::vector<std::string>>();
  const bool answered =
      m_jack->call([jack = m_jack, names] { *names = jack->midiInputs(); }, kJackListingDeadline);
  if (!answered) {
    logEvent(LogRoom::Service, LogLevel::Warning, "jack listing late",
             "JACK: the server did not list its ports within " +
                 std::to_string(kJackListingDeadline.count()) + " ms; none are offered");
    return ports;
  }
  for (const std::string& name : *names)
    ports.push_back({PortApi::Jack, name, cutUtf8(name, sizeof(MidiOutCaps::szPname) - 1)});
  return ports;
}

const std::vector<PortInfo>& SystemMidiService::ports() {
  if (m_listing.valid()) m_ports = m_listing.get();
  return m_ports;
}

ResultCode SystemMidiService::openMapper(std::unique_ptr<SynthOutput>& synth) {
  if (m_preparedMapper.valid()) {
    PreparedSynth prepared = m_preparedMapper.get();
    synth = std::move(prepared.second);
    // The window is built by now: the font loads while it shows.
    if (prepared.first == MMSYSERR_NOERROR) prepared.first = synth->startLoading();
    if (prepared.first != MMSYSERR_NOERROR) synth.reset();
    return prepared.first;
  }
  return SynthOutput::open(m_synthConfig, synth, true, m_jack);
}

SystemMidiService::SystemMidiService(SynthConfig synth, std::vector<PortInfo> ports)
    : m_synthConfig(std::move(synth)), m_ports(std::move(ports)) {}

SystemMidiService::~SystemMidiService() {
  if (m_listing.valid()) m_listing.wait();  // bounded: it waits for no server past its deadline
  m_outputs.clear();  // the JACK outputs wait a moment for their last messages
  // An output whose server hangs may not finish closing: it is left behind with what it owns,
  // and the process ends around it.
  const auto until = std::chrono::steady_clock::now() + kClosingDeadline;
  for (Closing& c : m_closing) {
    while (!c.done->load() && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (c.done->load()) {
      c.thread.join();
    } else {
      c.thread.detach();
      logEvent(LogRoom::Service, LogLevel::Warning, "closing late",
               "an output did not close within " + std::to_string(kClosingDeadline.count()) +
                   " ms (its server hangs); it is left behind");
    }
  }
  {
    std::lock_guard lock(m_lateFailure->mutex);
    m_lateFailure->handler = nullptr;  // its owner may go with the service
  }
  if (m_jack) m_jack->shutdown(kSessionDeadline);
}

void SystemMidiService::closeInBackground(std::unique_ptr<Output> output) {
  std::erase_if(m_closing, [](Closing& c) {
    if (!c.done->load()) return false;
    c.thread.join();
    return true;
  });
  auto done = std::make_shared<std::atomic<bool>>(false);
  try {
    m_closing.push_back({std::thread([o = std::move(output), done]() mutable {
                           o.reset();
                           // A synthesizer frees tens of MB, some in the arenas of threads that
                           // have ended; give it back rather than keep it for the next one.
                           malloc_trim(0);
                           done->store(true);
                         }),
                         done});
  } catch (const std::system_error&) {
    // No thread to be had: the task that owned the output is gone with it, which closed it
    // here and now.
  }
}

std::uint32_t SystemMidiService::midiOutGetNumDevs() {
  return static_cast<std::uint32_t>(ports().size());
}

ResultCode SystemMidiService::midiOutGetDevCapsA(std::int32_t deviceId, MidiOutCaps& caps,
                                                 std::uint32_t size) {
  if (size != sizeof(MidiOutCaps)) return MMSYSERR_INVALPARAM;
  if (deviceId < MIDI_MAPPER || deviceId >= static_cast<std::int32_t>(ports().size()))
    return MMSYSERR_BADDEVICEID;
  caps = MidiOutCaps{};
  caps.wChannelMask = 0xFFFF;
  caps.vDriverVersion = 0x0100;
  std::string name;
  if (deviceId == MIDI_MAPPER) {
    name = "MIDI Mapper";
    caps.wTechnology = MOD_SWSYNTH;
    caps.wVoices = 256;
    caps.wNotes = 256;
  } else {
    name = m_ports[deviceId].displayName;
    caps.wTechnology = MOD_MIDIPORT;
  }
  std::memcpy(caps.szPname, name.data(), std::min(name.size(), sizeof caps.szPname - 1));
  return MMSYSERR_NOERROR;
}

bool SystemMidiService::isOpen(std::int32_t deviceId) const {
  bool open = false;
  m_outputs.forEach([&](const Output& o) { open = open || o.deviceId == deviceId; });
  return open;
}

ResultCode SystemMidiService::midiOutOpen(MidiOutHandle& handle, std::int32_t deviceId,
                                          std::uintptr_t callback, std::uintptr_t instance,
                                          std::uint32_t flags) {
  handle = 0;
  if (callback != 0 || instance != 0 || flags != 0) return MMSYSERR_INVALPARAM;
  if (deviceId < MIDI_MAPPER || deviceId >= static_cast<std::int32_t>(ports().size()))
    return MMSYSERR_BADDEVICEID;
  if (isOpen(deviceId)) return MMSYSERR_ALLOCATED;

  std::unique_ptr<Output> output(new (std::nothrow) Output{deviceId, {}});
  if (!output) return MMSYSERR_NOMEM;
  ResultCode rc;
  SynthOutput* mapper = nullptr;
  if (deviceId == MIDI_MAPPER) {
    std::unique_ptr<SynthOutput> synth;
    rc = openMapper(synth);
    mapper = synth.get();
    output->backend = std::move(synth);
  } else if (m_ports[deviceId].api == PortApi::Jack) {
    std::unique_ptr<JackPortOutput> port;
    rc = JackPortOutput::open(m_jack, m_ports[deviceId], port);
    output->backend = std::move(port);
  } else {
    std::unique_ptr<AlsaPortOutput> port;
    rc = AlsaPortOutput::open(m_alsa, m_ports[deviceId], port);
    output->backend = std::move(port);
  }
  if (rc != MMSYSERR_NOERROR) return rc;
  handle = m_outputs.insert(std::move(output));
  if (mapper) {
    try {
      mapper->whenLoadFails([late = m_lateFailure, h = handle](ResultCode code) {
        std::lock_guard lock(late->mutex);
        if (late->handler) late->handler(h, code);
      });
    } catch (const std::bad_alloc&) {
      closeInBackground(m_outputs.remove(handle));  // a late failure would go unheard
      handle = 0;
      return MMSYSERR_NOMEM;
    }
  }
  return MMSYSERR_NOERROR;
}

void SystemMidiService::setLateFailureHandler(LateFailureHandler handler) {
  std::lock_guard lock(m_lateFailure->mutex);
  m_lateFailure->handler = std::move(handler);
}

ResultCode SystemMidiService::midiOutShortMsg(MidiOutHandle handle, std::uint32_t message) {
  Output* output = m_outputs.find(handle);
  if (!output) return MMSYSERR_INVALHANDLE;
  return std::visit([message](auto& backend) { return backend->send(message); }, output->backend);
}

ResultCode SystemMidiService::midiOutClose(MidiOutHandle handle) {
  std::unique_ptr<Output> output = m_outputs.remove(handle);
  if (!output) return MMSYSERR_INVALHANDLE;
  closeInBackground(std::move(output));
  return MMSYSERR_NOERROR;
}

const SynthOutput* SystemMidiService::synthFor(MidiOutHandle handle) const {
  const Output* output = m_outputs.find(handle);
  if (!output) return nullptr;
  const auto* synth = std::get_if<std::unique_ptr<SynthOutput>>(&output->backend);
  return synth ? synth->get() : nullptr;
}

}  // namespace midi
