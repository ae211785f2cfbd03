// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The MIDI output service of this platform: device id -1 (the MIDI Mapper) is the embedded
// synthesizer, ids 0..n-1 are the system's MIDI output ports as listed once at construction.
// Every handle goes through a handle table; at most one output per device is open at a time.

#include <atomic>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <variant>
#include <vector>

#include "midi/midi_service.h"
#include "midi/ports/alsa_output.h"
#include "midi/ports/jack_output.h"
#include "midi/servers/alsa_session.h"
#include "midi/servers/jack_session.h"
#include "midi/service/handle_table.h"
#include "midi/synth/synth_output.h"

namespace midi {

class SystemMidiService final : public MidiOutService {
 public:
  // Starts listing the ports and preparing the MIDI Mapper on threads of their own, so that the
  // window can build meanwhile. Construct it before anything else starts threads (it sets the
  // environment first).
  explicit SystemMidiService(SynthConfig synth = SynthConfig::defaults());
  // Uses the given ports instead of listing the system's (tests).
  SystemMidiService(SynthConfig synth, std::vector<PortInfo> ports);
  // Returns within a second whatever the servers do: outputs close, held notes' Note Offs go to
  // the servers that answer, and a session whose server hangs is left behind. A font load left
  // behind that fails afterwards is reported to nobody.
  ~SystemMidiService() override;

  std::uint32_t midiOutGetNumDevs() override;
  ResultCode midiOutGetDevCapsA(std::int32_t deviceId, MidiOutCaps& caps,
                                std::uint32_t size) override;
  ResultCode midiOutOpen(MidiOutHandle& handle, std::int32_t deviceId, std::uintptr_t callback,
                         std::uintptr_t instance, std::uint32_t flags) override;
  ResultCode midiOutShortMsg(MidiOutHandle handle, std::uint32_t message) override;
  ResultCode midiOutClose(MidiOutHandle handle) override;
  void setLateFailureHandler(LateFailureHandler handler) override;

  // The synthesizer behind an open handle of the Mapper, or nullptr (benchmarks, diagnostics).
  const SynthOutput* synthFor(MidiOutHandle handle) const;

 private:
  struct Output {
    std::int32_t deviceId;
    std::variant<std::unique_ptr<SynthOutput>, std::unique_ptr<AlsaPortOutput>,
                 std::unique_ptr<JackPortOutput>>
        backend;
  };
  bool isOpen(std::int32_t deviceId) const;
  void closeInBackground(std::unique_ptr<Output> output);
  const std::vector<PortInfo>& ports();
  std::vector<PortInfo> listOutputPorts();
  ResultCode openMapper(std::unique_ptr<SynthOutput>& synth);

  using PreparedSynth = std::pair<ResultCode, std::unique_ptr<SynthOutput>>;
  std::future<std::vector<PortInfo>> m_listing;  // the ports, until first asked for
  std::future<PreparedSynth> m_preparedMapper;   // the first Mapper open, until asked for

  // Outputs being torn down off the caller's thread: a synthesizer's audio thread may take a
  // while to stop, a JACK output lets its last messages go first, and the window must not freeze
  // meanwhile.
  struct Closing {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::vector<Closing> m_closing;

  // The program's one JACK client and its one ALSA sequencer client (nullptr without a
  // sequencer), shared with the outputs that live on them.
  std::shared_ptr<JackSession> m_jack;
  std::shared_ptr<AlsaSession> m_alsa;
  SynthConfig m_synthConfig;
  std::vector<PortInfo> m_ports;
  // The late failure handler, shared with the Mappers' font loads: a load left behind with its
  // closing may fail after the service has gone, and then finds no handler.
  struct LateFailure {
    std::mutex mutex;
    LateFailureHandler handler;
  };
  const std::shared_ptr<LateFailure> m_lateFailure = std::make_shared<LateFailure>();
  HandleTable<Output> m_outputs;  // last: open outputs go first, and may still report a failure
};

}  // namespace midi
