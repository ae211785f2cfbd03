// SPDX-License-Identifier: GPL-3.0-or-later
#include "midi/servers/run_time_library.h"

#include <dlfcn.h>

namespace midi {

bool openRunTimeLibrary(const char* soname,
                        std::initializer_list<std::pair<const char*, void**>> functions) {
  // Lazy: what the program calls is looked up below; the rest need not be bound now.
  void* handle = dlopen(soname, RTLD_LAZY | RTLD_LOCAL);
  if (!handle) return false;
  for (const auto& [name, function] : functions) {
    *function = dlsym(handle, name);
    if (!*function) return false;
  }
  return true;
}

}  // namespace midi
