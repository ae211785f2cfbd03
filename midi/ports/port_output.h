// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The ALSA sequencer's output ports through RtMidi (JACK's go through the JACK session,
// jack_output.h). RtMidi's and ALSA's own printing to the terminal is silenced.

#include <bitset>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "midi/ports/port_names.h"
#include "midi/service/midi_service.h"

class RtMidiOut;

namespace midi {

// Silences ALSA's printing. Later calls do nothing.
void prepareMidiPlatform();

// The ALSA sequencer's output ports reachable now (none without /dev/snd/seq).
std::vector<PortInfo> listAlsaPorts();

class PortWatch;

// One open ALSA port. It follows its peer: when the port goes, sends fail at once; when a port of
// the same client and port name comes back (its program restarted) the output reconnects by
// itself on a thread of its own, switching off first the notes the peer may still hold.
class PortOutput {
 public:
  // The life of the connection:
  //   Connected     messages go to the peer;
  //   Lost          the port or the sequencer has gone: sends return MMSYSERR_ERROR at once;
  //   Reconnecting  a port of the same name is back and a new connection is being made.
  enum class State { Connected, Lost, Reconnecting };

  ~PortOutput();  // may wait for RtMidi (up to a second): not on the UI thread
  PortOutput(const PortOutput&) = delete;
  PortOutput& operator=(const PortOutput&) = delete;

  static ResultCode open(const PortInfo& port, std::unique_ptr<PortOutput>& out);
  ResultCode send(std::uint32_t message);
  State state() const;

 private:
  PortOutput() = default;
  // A new RtMidi output connected to the port, or nullptr with rc saying why.
  static std::unique_ptr<RtMidiOut> connect(const PortInfo& port, PortOutput* owner,
                                            ResultCode& rc);
  static void onError(int type, const std::string& text, void* self);
  void onWatch(int event);  // a PortWatch::Event, on the watch's thread
  void recover();           // the worker's loop
  void awaitSystem(std::unique_lock<std::mutex>& lock);
  void reconnect(std::unique_lock<std::mutex>& lock);
  void track(const unsigned char* bytes, int length);

  PortInfo m_port{};
  mutable std::mutex m_mutex;
  std::condition_variable m_wake;
  State m_state = State::Connected;
  std::unique_ptr<RtMidiOut> m_out;
  std::unique_ptr<PortWatch> m_watch;
  bool m_failed = false;      // set by RtMidi's error callback
  bool m_systemGone = false;  // for the worker: close the dead clients, wait for the system
  bool m_portBack = false;    // for the worker: reconnect
  bool m_stopping = false;
  std::bitset<16 * 128> m_sounding;  // notes switched on at the peer and not yet off
  std::thread m_worker;
};

}  // namespace midi
