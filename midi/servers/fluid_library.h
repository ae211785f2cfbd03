// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// FluidSynth, opened when the MIDI Mapper is first prepared (run_time_library.h). It brings some
// thirty libraries of its own (SDL2, libsndfile and its codecs, GLib, libinstpatch); mapping them
// before main() cost the window about 5 ms on its way to the screen.

#include <fluidsynth.h>

#include "midi/servers/run_time_library.h"

namespace midi {

#define TAMRELS_FLUID_FUNCTIONS(X)      \
  X(fluid_set_log_function)             \
  X(fluid_is_soundfont)                 \
  X(new_fluid_settings)                 \
  X(delete_fluid_settings)              \
  X(fluid_settings_setint)              \
  X(fluid_settings_setnum)              \
  X(fluid_settings_setstr)              \
  X(fluid_settings_getint)              \
  X(fluid_settings_getnum)              \
  X(new_fluid_synth)                    \
  X(delete_fluid_synth)                 \
  X(fluid_synth_sfload)                 \
  X(fluid_synth_noteon)                 \
  X(fluid_synth_noteoff)                \
  X(fluid_synth_key_pressure)           \
  X(fluid_synth_cc)                     \
  X(fluid_synth_program_change)         \
  X(fluid_synth_channel_pressure)       \
  X(fluid_synth_pitch_bend)             \
  X(fluid_synth_all_sounds_off)         \
  X(fluid_synth_system_reset)           \
  X(fluid_synth_get_active_voice_count) \
  X(fluid_synth_write_float)            \
  X(new_fluid_audio_driver)             \
  X(new_fluid_audio_driver2)            \
  X(delete_fluid_audio_driver)

struct FluidLibrary {
  TAMRELS_FLUID_FUNCTIONS(TAMRELS_DECLARE_FUNCTION)
};

// The library, loaded by the first call from any thread, its log silenced; nullptr when it
// cannot be loaded.
const FluidLibrary* fluidLibrary();

}  // namespace midi
