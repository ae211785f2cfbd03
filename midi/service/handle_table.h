// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Maps 32-bit output handles to open outputs. A handle carries the slot it names and a
// generation, so that 0, a closed handle, a handle reused after close, and an invented value
// are all told apart from live ones without undefined behaviour. The generation has 12 bits and
// skips 0, so a slot hands out the same handle again after 4,095 reuses: a handle kept that long
// past its close would name the new output.

#include <cstdint>
#include <memory>
#include <vector>

#include "midi/midi_service.h"

namespace midi {

template <typename T>
class HandleTable {
 public:
  // Stores value and returns its new handle (never 0).
  MidiOutHandle insert(std::unique_ptr<T> value) {
    std::size_t slot = 0;
    while (slot < m_slots.size() && m_slots[slot].value) ++slot;
    if (slot == m_slots.size()) m_slots.push_back({});
    Slot& s = m_slots[slot];
    s.generation = (s.generation + 1) & kGenerationMask;
    if (s.generation == 0) s.generation = 1;
    s.value = std::move(value);
    return (static_cast<MidiOutHandle>(slot + 1) << kGenerationBits) | s.generation;
  }

  // The live value named by handle, or nullptr.
  T* find(MidiOutHandle handle) const {
    const Slot* s = slotFor(handle);
    return s ? s->value.get() : nullptr;
  }

  // Removes and returns the value named by handle, or nullptr if the handle is not live.
  std::unique_ptr<T> remove(MidiOutHandle handle) {
    Slot* s = const_cast<Slot*>(slotFor(handle));
    return s ? std::move(s->value) : nullptr;
  }

  // Removes every value, in slot order.
  void clear() {
    for (Slot& s : m_slots) s.value.reset();
  }

  template <typename F>
  void forEach(F&& f) const {
    for (const Slot& s : m_slots)
      if (s.value) f(*s.value);
  }

 private:
  static constexpr unsigned kGenerationBits = 12;
  static constexpr MidiOutHandle kGenerationMask = (1u << kGenerationBits) - 1;

  struct Slot {
    MidiOutHandle generation = 0;
    std::unique_ptr<T> value;
  };

  const Slot* slotFor(MidiOutHandle handle) const {
    const MidiOutHandle index = handle >> kGenerationBits;
    if (index == 0 || index > m_slots.size()) return nullptr;
    const Slot& s = m_slots[index - 1];
    if (!s.value || s.generation != (handle & kGenerationMask)) return nullptr;
    return &s;
  }

  std::vector<Slot> m_slots;
};

}  // namespace midi
