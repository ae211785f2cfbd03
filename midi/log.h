// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The lines that say what happened out of sight: a server lost, back, renewed or past its
// deadline, a font that failed, a port gone and back, a Note On dropped as stale. One line for
// each such event, none on a normal start or close. midi/ hands each line to a sink that the
// program installs (it writes them on the standard error, one category per room); with no sink,
// as in the test tools, nothing is written.
//
// Only a session's thread, the caller's thread or a thread of ours that may wait writes a line:
// logEvent takes a mutex and the sink may wait on the terminal. A server's real-time thread (JACK's
// process callback, PipeWire's process) counts what happened in an EventCount instead, and a
// session's thread drains it into a line.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string_view>

namespace midi {

// The room of midi/ that writes the line (each is a category of its own for the program).
enum class LogRoom { Service, Ports, Synth, Servers };
// Debug lines are for a maintainer who asks for them; Info for what healed or was renewed;
// Warning for what a user may have heard or missed.
enum class LogLevel { Debug, Info, Warning };

// Writes one line. It is called under logEvent's own lock, so lines come one at a time, and it
// must not call logEvent.
using LogSink = void (*)(LogRoom room, LogLevel level, std::string_view text);

// Where the lines go from now on (nullptr: nowhere, the default). Set before the service starts.
void setLogSink(LogSink sink);

// Lines of one key (one kind of event, e.g. "pulseaudio lost") are written at most once in
// kLogRepeatInterval; those held back meanwhile are counted, and the next line of that key ends
// with how many there were. Any thread but a real-time one; never throws.
inline constexpr std::chrono::seconds kLogRepeatInterval{10};
void logEvent(LogRoom room, LogLevel level, std::string_view key, std::string_view text);

// Events counted on a real-time thread, without a lock or a wait, and written by a thread that
// may wait: the real-time thread calls count(), the session's thread now and then drain(), and
// writes a line when it is not zero.
class EventCount {
 public:
  void count(std::uint32_t n = 1) noexcept { m_count.fetch_add(n, std::memory_order_relaxed); }
  // The events counted since the last drain.
  std::uint32_t drain() noexcept { return m_count.exchange(0, std::memory_order_relaxed); }

 private:
  std::atomic<std::uint32_t> m_count{0};
  static_assert(std::atomic<std::uint32_t>::is_always_lock_free);
};

}  // namespace midi
