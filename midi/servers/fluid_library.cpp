// SPDX-License-Identifier: GPL-3.0-or-later
#include "midi/servers/fluid_library.h"

namespace midi {

namespace {

void silentLog(int, const char*, void*) {}

const FluidLibrary* load() {
  static FluidLibrary library;
  if (!openRunTimeLibrary("libfluidsynth.so.3", {TAMRELS_FLUID_FUNCTIONS(TAMRELS_LOOKUP_FUNCTION)}))
    return nullptr;
  for (int level = FLUID_PANIC; level < LAST_LOG_LEVEL; ++level)
    library.fluid_set_log_function(level, silentLog, nullptr);
  return &library;
}

}  // namespace

const FluidLibrary* fluidLibrary() {
  static const FluidLibrary* const library = load();
  return library;
}

}  // namespace midi
