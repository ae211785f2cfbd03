// SPDX-License-Identifier: GPL-3.0-or-later
#include "midi/log.h"

#include <functional>
#include <map>
#include <mutex>
#include <new>
#include <string>

namespace midi {

namespace {

struct Repeats {
  std::chrono::steady_clock::time_point written;
  std::uint32_t held = 0;  // lines held back since written
};

struct Log {
  std::mutex mutex;
  LogSink sink = nullptr;
  std::map<std::string, Repeats, std::less<>> keys;  // a few kinds of event: a handful of entries
};

// Never destroyed: a thread left behind at exit (an output whose server hangs) may still write.
Log& theLog() {
  static Log* const log = new Log;
  return *log;
}

}  // namespace

void setLogSink(LogSink sink) {
  Log& log = theLog();
  std::lock_guard lock(log.mutex);
  log.sink = sink;
}

void logEvent(LogRoom room, LogLevel level, std::string_view key, std::string_view text) {
  Log& log = theLog();
  const auto now = std::chrono::steady_clock::now();
  // Under the lock, so that the count and the line that carries it agree across threads.
  std::lock_guard lock(log.mutex);
  if (!log.sink) return;
  try {
    auto at = log.keys.find(key);
    if (at == log.keys.end()) {
      at = log.keys.emplace(std::string(key), Repeats{}).first;
    } else if (now - at->second.written < kLogRepeatInterval) {
      ++at->second.held;
      return;
    }
    Repeats& repeats = at->second;
    if (repeats.held == 0) {
      log.sink(room, level, text);
    } else {
      log.sink(room, level,
               std::string(text) + " (and " + std::to_string(repeats.held) +
                   " more like it since the last)");
    }
    repeats = {now, 0};
  } catch (const std::bad_alloc&) {
    // Out of memory: the line is let go, never the caller's work.
  }
}

}  // namespace midi
