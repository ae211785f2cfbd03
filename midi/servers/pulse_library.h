// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// libpulse, opened when the MIDI Mapper first makes its stream (run_time_library.h): with
// libpulsecommon and libsndfile's codecs it cost the window about a millisecond before main().

#include <pulse/pulseaudio.h>

#include "midi/servers/run_time_library.h"

namespace midi {

#define TAMRELS_PULSE_FUNCTIONS(X) \
  X(pa_bytes_to_usec)              \
  X(pa_context_connect)            \
  X(pa_context_disconnect)         \
  X(pa_context_get_state)          \
  X(pa_context_new)                \
  X(pa_context_set_state_callback) \
  X(pa_context_unref)              \
  X(pa_gettimeofday)               \
  X(pa_operation_unref)            \
  X(pa_stream_begin_write)         \
  X(pa_stream_cancel_write)        \
  X(pa_stream_connect_playback)    \
  X(pa_stream_cork)                \
  X(pa_stream_disconnect)          \
  X(pa_stream_flush)               \
  X(pa_stream_get_buffer_attr)     \
  X(pa_stream_get_sample_spec)     \
  X(pa_stream_get_state)           \
  X(pa_stream_new)                 \
  X(pa_stream_set_state_callback)  \
  X(pa_stream_set_write_callback)  \
  X(pa_stream_unref)               \
  X(pa_stream_write)               \
  X(pa_threaded_mainloop_free)     \
  X(pa_threaded_mainloop_get_api)  \
  X(pa_threaded_mainloop_lock)     \
  X(pa_threaded_mainloop_new)      \
  X(pa_threaded_mainloop_set_name) \
  X(pa_threaded_mainloop_signal)   \
  X(pa_threaded_mainloop_start)    \
  X(pa_threaded_mainloop_stop)     \
  X(pa_threaded_mainloop_unlock)   \
  X(pa_threaded_mainloop_wait)     \
  X(pa_timeval_add)                \
  X(pa_usec_to_bytes)

struct PulseLibrary {
  TAMRELS_PULSE_FUNCTIONS(TAMRELS_DECLARE_FUNCTION)
};

// The library, opened by the first call from any thread; nullptr when it cannot be.
const PulseLibrary* pulseLibrary();

}  // namespace midi
