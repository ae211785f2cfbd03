// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// libpipewire-0.3, opened when the MIDI Mapper first looks for a PipeWire server
// (run_time_library.h). A machine without it simply has no PipeWire sink.

#include <pipewire/pipewire.h>

#include "midi/servers/run_time_library.h"

namespace midi {

#define TAMRELS_PIPEWIRE_FUNCTIONS(X) \
  X(pw_init)                          \
  X(pw_log_set_level)                 \
  X(pw_context_connect)               \
  X(pw_context_destroy)               \
  X(pw_context_new)                   \
  X(pw_core_disconnect)               \
  X(pw_properties_new)                \
  X(pw_proxy_destroy)                 \
  X(pw_stream_add_listener)           \
  X(pw_stream_connect)                \
  X(pw_stream_dequeue_buffer)         \
  X(pw_stream_destroy)                \
  X(pw_stream_flush)                  \
  X(pw_stream_new)                    \
  X(pw_stream_queue_buffer)           \
  X(pw_stream_set_active)             \
  X(pw_thread_loop_destroy)           \
  X(pw_thread_loop_get_loop)          \
  X(pw_thread_loop_get_time)          \
  X(pw_thread_loop_lock)              \
  X(pw_thread_loop_new)               \
  X(pw_thread_loop_signal)            \
  X(pw_thread_loop_start)             \
  X(pw_thread_loop_stop)              \
  X(pw_thread_loop_timed_wait_full)   \
  X(pw_thread_loop_unlock)

struct PipeWireLibrary {
  TAMRELS_PIPEWIRE_FUNCTIONS(TAMRELS_DECLARE_FUNCTION)
};

// The library, opened (and pw_init called) by the first call from any thread; nullptr when it
// cannot be.
const PipeWireLibrary* pipeWireLibrary();

}  // namespace midi
