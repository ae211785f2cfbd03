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

#include "midi/service/midi_service.h"

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

// What the stream needs of the synthesizer. Every call comes on the stream's thread.
struct PulseStreamClient {
  void* user = nullptr;
  // Fills frames of interleaved stereo float.
  void (*render)(void* user, float* out, std::size_t frames) = nullptr;
  // Whether any voice still sounds.
  bool (*sounding)(void* user) = nullptr;
  // The server has gone: switch every voice off. Called with the message lock held.
  void (*lost)(void* user) = nullptr;
};

class PulseStream {
 public:
  // The stream's life. Running: the server pulls audio. Asleep: corked, no CPU; the next message
  // uncorks it. Lost: the server has gone; a retry is due. Reconnecting: a new context and stream
  // are on their way.
  enum class State { Running, Asleep, Lost, Reconnecting };

  // Connects to the sound server (never starting one) and makes a corked stream. Fails with
  // MMSYSERR_NODRIVER when no server accepts the stream.
  static ResultCode open(const PulseStreamConfig& config, const PulseStreamClient& client,
                         std::unique_ptr<PulseStream>& out);
  ~PulseStream();
  PulseStream(const PulseStream&) = delete;
  PulseStream& operator=(const PulseStream&) = delete;

  // Hands one message to the synthesizer through apply(), under the message lock, and wakes a
  // sleeping stream. Returns false, without calling apply(), while the server is gone.
  template <class Apply>
  bool play(Apply&& apply) {
    std::lock_guard lock(m_mutex);
    if (m_state == State::Lost || m_state == State::Reconnecting) return false;
    apply();
    noteMessage();
    return true;
  }

  State state() const;
  // The latency the server granted the stream, in milliseconds.
  double latencyMilliseconds() const { return m_latencyMs.load(); }

 private:
  explicit PulseStream(const PulseStreamConfig& config, const PulseStreamClient& client);
  void noteMessage();  // with m_mutex held
  void setState(State next);

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
  PulseStreamClient m_client;
  pa_threaded_mainloop* m_loop = nullptr;
  pa_context* m_context = nullptr;
  pa_stream* m_stream = nullptr;
  pa_io_event* m_wakeEvent = nullptr;
  pa_time_event* m_retry = nullptr;
  int m_wakePipe[2] = {-1, -1};

  mutable std::mutex m_mutex;  // the message lock: m_state, m_wakePending
  State m_state = State::Reconnecting;
  bool m_wakePending = false;
  std::atomic<std::int64_t> m_lastMessageNs{0};
  std::atomic<double> m_latencyMs{0.0};
};

}  // namespace midi
