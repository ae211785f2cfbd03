// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The work other threads hand a session's thread: they queue a task and may wait for it with a
// deadline; the session's thread runs the tasks in order. Every call is made with the session's
// own mutex held (the lock passed in), since the session guards its other state with it too.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

namespace midi {

class SessionTasks {
 public:
  // Queues task; its number, for awaitRun().
  std::uint64_t push(std::function<void()> task) {
    m_tasks.push_back(std::move(task));
    return ++m_posted;
  }
  bool empty() const { return m_tasks.empty(); }

  // Whether task number `mine` ran within timeout; the lock is let go meanwhile. A task that did
  // not still runs later, so it must own what it touches.
  bool awaitRun(std::unique_lock<std::mutex>& lock, std::uint64_t mine,
                std::chrono::milliseconds timeout) {
    return m_ran.wait_for(lock, timeout, [&] { return m_done >= mine; });
  }

  // On the session's thread: runs every queued task, the lock let go around each.
  void runAll(std::unique_lock<std::mutex>& lock) {
    while (!m_tasks.empty()) {
      auto task = std::move(m_tasks.front());
      m_tasks.pop_front();
      lock.unlock();
      task();
      task = nullptr;  // what it owned goes here, not under the lock
      lock.lock();
      ++m_done;
      m_ran.notify_all();
    }
  }

 private:
  std::deque<std::function<void()>> m_tasks;
  std::condition_variable m_ran;
  std::uint64_t m_posted = 0;
  std::uint64_t m_done = 0;
};

}  // namespace midi
