// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// FluidSynth, loaded when the MIDI Mapper is first prepared rather than when the program starts.
// The library brings some thirty of its own (SDL2, libsndfile and its codecs, GLib,
// libinstpatch); mapping them before main() cost the window about 5 ms on its way to the screen.
// Loaded on the service's start-up thread, they cost it nothing. Every call into FluidSynth goes
// through this table: the program does not link the library, so the linker refuses any other.

#include <fluidsynth.h>

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
  X(fluid_synth_get_active_voice_count) \
  X(fluid_synth_write_float)            \
  X(new_fluid_audio_driver)             \
  X(delete_fluid_audio_driver)

struct FluidLibrary {
#define TAMRELS_FLUID_MEMBER(name) decltype(&::name) name = nullptr;
  TAMRELS_FLUID_FUNCTIONS(TAMRELS_FLUID_MEMBER)
#undef TAMRELS_FLUID_MEMBER
};

// The library, loaded by the first call from any thread, its log silenced; nullptr when it
// cannot be loaded.
const FluidLibrary* fluidLibrary();

}  // namespace midi
