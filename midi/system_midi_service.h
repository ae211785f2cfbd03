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

#include "handle_table.h"
#include "midi_service.h"
#include "port_output.h"
#include "synth_output.h"

namespace midi {

class SystemMidiService final : public MidiOutService {
 public:
  // Starts listing the ports and preparing the MIDI Mapper on threads of their own, so that the
  // window can build meanwhile. Construct it before anything else starts threads (it sets the
  // environment first).
  explicit SystemMidiService(SynthConfig synth = SynthConfig::defaults());
  // Uses the given ports instead of listing the system's (tests).
  SystemMidiService(SynthConfig synth, std::vector<PortInfo> ports);
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
    std::variant<std::unique_ptr<SynthOutput>, std::unique_ptr<PortOutput>> backend;
  };
  bool isOpen(std::int32_t deviceId) const;
  void closeInBackground(std::unique_ptr<Output> output);
  const std::vector<PortInfo>& ports();
  ResultCode openMapper(std::unique_ptr<SynthOutput>& synth);

  using PreparedSynth = std::pair<ResultCode, std::unique_ptr<SynthOutput>>;
  std::future<std::vector<PortInfo>> m_listing;  // the ports, until first asked for
  std::future<PreparedSynth> m_preparedMapper;   // the first Mapper open, until asked for

  // Outputs being torn down off the caller's thread: a synthesizer's audio thread or a JACK
  // client may take a while to stop (RtMidi's JACK close waits up to a second for its buffer to
  // drain), and the window must not freeze meanwhile.
  struct Closing {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::vector<Closing> m_closing;

  SynthConfig m_synthConfig;
  std::vector<PortInfo> m_ports;
  std::mutex m_lateFailureMutex;
  LateFailureHandler m_lateFailure;
  HandleTable<Output> m_outputs;  // last: open outputs go first, and may still report a failure
};

}  // namespace midi
