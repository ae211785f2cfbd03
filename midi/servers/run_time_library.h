// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Libraries opened when first needed rather than when the program starts: every library linked
// into the program is mapped before main() runs, on the way to the window. A table of function
// pointers stands for each; the program does not link the library, so the linker refuses any
// call that bypasses the table.

#include <initializer_list>
#include <utility>

namespace midi {

#define TAMRELS_DECLARE_FUNCTION(name) decltype(&::name) name = nullptr;
#define TAMRELS_LOOKUP_FUNCTION(name) {#name, reinterpret_cast<void**>(&library.name)},

// Opens soname for the program's life and fills each function pointer by its name. False when
// the library or any of the functions is missing.
bool openRunTimeLibrary(const char* soname,
                        std::initializer_list<std::pair<const char*, void**>> functions);

}  // namespace midi
