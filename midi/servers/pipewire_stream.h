// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The MIDI Mapper's own PipeWire stream. PipeWire runs the whole graph at the smallest quantum
// that its nodes ask for, so a stream that asks for a short one is heard a few milliseconds after
// a key; through pipewire-pulse the same synthesizer waits behind a 16 ms buffer.
//
// One thread, PipeWire's thread loop, owns the connection: it makes the stream, puts it to sleep
// (inactive: the graph no longer schedules it, no CPU) when nothing has sounded for a while, wakes
// it, and when the server goes it switches the voices off and tries a new connection every
// 250 ms. The audio is rendered on PipeWire's real-time thread, exactly as much as the graph asks.
// The caller's thread never waits on the server: a message takes one mutex, is handed to the
// synthesizer, and a sleeping stream is woken through an event of the loop.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>

#include "midi/servers/stream_life.h"
#include "midi/midi_service.h"

struct pw_thread_loop;
struct pw_context;
struct pw_core;
struct pw_registry;
struct pw_stream;
struct spa_source;

namespace midi {

struct PipeWireStreamConfig {
  int sampleRate = 48000;
  // The quantum asked of the graph (node.latency), in frames at sampleRate.
  int quantum = 128;
  // Made inactive when nothing has sounded for this long.
  std::chrono::milliseconds idleSleep{5000};
  std::chrono::milliseconds retryInterval{250};
};

class PipeWireStream final : public StreamLife {
 public:
  // Connects to the PipeWire server (never starting one) and makes an inactive stream, node name
  // "Tamrels Midi Piano", media role Music. The same contract as PulseStream::open: NOERROR once
  // the server has made the stream and has an audio sink for it; NODRIVER with out empty when there
  // is no server or no libpipewire, and with out holding the stream, still Connecting, when the
  // server did not answer in time.
  static ResultCode open(const PipeWireStreamConfig& config, const AudioClient& client,
                         std::chrono::milliseconds deadline, std::unique_ptr<PipeWireStream>& out);
  ~PipeWireStream() override;

  // The quantum the graph last ran the stream at, in milliseconds.
  double latencyMilliseconds() const;

  struct Hooks;

 private:
  explicit PipeWireStream(const PipeWireStreamConfig& config, const AudioClient& client);
  void wake() override;
  void changed() override;

  // The rest runs on the loop's thread with its lock held; onProcess on the real-time thread.
  bool connect();
  void onStreamState(int state);
  void acceptIfHeard();
  void onProcess();
  void onEvent();
  void onRetry();
  void lose();
  void dropConnection();

  PipeWireStreamConfig m_config;
  std::unique_ptr<Hooks> m_hooks;
  pw_thread_loop* m_loop = nullptr;
  pw_context* m_context = nullptr;
  pw_core* m_core = nullptr;
  pw_registry* m_registry = nullptr;
  pw_stream* m_stream = nullptr;
  spa_source* m_event = nullptr;
  spa_source* m_retry = nullptr;
  // What this connection has heard, on the loop's thread: the audio sinks, whether the first
  // listing of the server's globals is complete (the sync m_listing is done), and whether the
  // stream's node is made.
  std::set<std::uint32_t> m_sinks;
  int m_listing = 0;
  bool m_listed = false;
  bool m_paused = false;

  std::atomic<bool> m_quietSeen{false};  // the real-time thread found the stream idle
  std::atomic<std::uint32_t> m_quantum{0};
};

}  // namespace midi
