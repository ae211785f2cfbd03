// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The MIDI Mapper's own PulseAudio stream (PipeWire desktops serve it through pipewire-pulse).
// One thread, libpulse's threaded mainloop, does everything: the server asks for audio and the
// stream renders exactly that much from the synthesizer; it corks itself when nothing has sounded
// for a while; and when the server goes away it switches the voices off, looks for the server
// every 250 ms and builds a new context and stream once it answers. FluidSynth's own PulseAudio
// driver can do none of this: it writes fixed periods through pa_simple and its thread ends
// without a word when the server goes.
//
// The caller's thread never creates, wakes or tears down anything: a message takes one mutex,
// is handed to the synthesizer, and a sleeping stream is woken through a pipe.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>

#include "midi/servers/stream_life.h"
#include "midi/midi_service.h"

struct pa_threaded_mainloop;
struct pa_context;
struct pa_stream;
struct pa_io_event;
struct pa_time_event;

namespace midi {

struct PulseStreamConfig {
  int sampleRate = 48000;
  // Asked of the server as the stream's whole latency; the stream keeps what it grants.
  std::chrono::microseconds targetLatency{6000};
  // Corked when nothing has sounded for this long.
  std::chrono::milliseconds idleSleep{5000};
  std::chrono::milliseconds retryInterval{250};
};

class PulseStream final : public StreamLife {
 public:
  // Connects to the sound server (never starting one) and makes a corked stream; Asleep is
  // corked, and the client's lost() is called with the message lock held. MMSYSERR_NOERROR once
  // the server accepts the stream. MMSYSERR_NODRIVER when there is no server or no libpulse (out
  // empty), or when the server has not answered by the deadline: then out holds the stream,
  // still Connecting, and it goes on by itself (a hung server that resumes accepts it).
  static ResultCode open(const PulseStreamConfig& config, const AudioClient& client,
                         std::chrono::milliseconds deadline, std::unique_ptr<PulseStream>& out);
  ~PulseStream() override;

  // The latency the server granted the stream, in milliseconds.
  double latencyMilliseconds() const { return m_latencyMs.load(); }

 private:
  explicit PulseStream(const PulseStreamConfig& config, const AudioClient& client);
  void wake() override;
  void changed() override;

  // All of these run on the mainloop's thread with its lock held.
  bool connectContext();
  void makeStream();
  void onContextState();
  void onStreamState();
  void onWrite(std::size_t bytes);
  void onWake();
  void onRetry();
  void lose();
  void dropConnection();
  void sleepIfQuiet();
  void scheduleRetry();

  PulseStreamConfig m_config;
  pa_threaded_mainloop* m_loop = nullptr;
  pa_context* m_context = nullptr;
  pa_stream* m_stream = nullptr;
  pa_io_event* m_wakeEvent = nullptr;
  pa_time_event* m_retry = nullptr;
  int m_wakePipe[2] = {-1, -1};

  std::atomic<double> m_latencyMs{0.0};
};

}  // namespace midi
