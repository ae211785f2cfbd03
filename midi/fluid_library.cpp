// SPDX-License-Identifier: GPL-3.0-or-later
#include "fluid_library.h"

#include <dlfcn.h>

namespace midi {

namespace {

void silentLog(int, const char*, void*) {}

const FluidLibrary* load() {
  void* handle =
      dlopen("libfluidsynth.so.3", RTLD_NOW | RTLD_LOCAL);  // kept for the program's life
  if (!handle) return nullptr;
  static FluidLibrary library;
  bool complete = true;
#define TAMRELS_FLUID_LOOKUP(name)                                          \
  library.name = reinterpret_cast<decltype(&::name)>(dlsym(handle, #name)); \
  complete = complete && library.name;
  TAMRELS_FLUID_FUNCTIONS(TAMRELS_FLUID_LOOKUP)
#undef TAMRELS_FLUID_LOOKUP
  if (!complete) return nullptr;
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
