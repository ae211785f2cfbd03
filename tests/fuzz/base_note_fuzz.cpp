// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target for the "Base note" answer: whatever the text, nothing outside 0..111 is ever
// accepted, an accepted value reads back as itself, and the parser never misbehaves.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/number_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (std::string_view separator : {".", ",", "\u066B"}) {
    (void)core::parseWholeNumber16(text, separator);
    const auto note = core::baseNoteFromText(text, separator);
    if (!note) continue;
    if (*note < 0 || *note > 111) __builtin_trap();
    if (text.find_first_of("0123456789") == std::string_view::npos) __builtin_trap();
    const auto again = core::baseNoteFromText(std::to_string(*note), separator);
    if (!again || *again != *note) __builtin_trap();
  }
  return 0;
}
