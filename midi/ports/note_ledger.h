// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// One bit for each note of each channel (16 x 128), set and cleared without locks from any
// thread: which notes are on at a peer, which Note Offs still have to go.

#include <array>
#include <atomic>
#include <cstdint>

namespace midi {

// A packed short message (status in the low byte): whether it switches a note on or off (a Note
// On of velocity 0 is a Note Off), and the ledger's index of its note.
constexpr bool isNoteOff(std::uint32_t message) {
  const std::uint32_t kind = message & 0xF0;
  return kind == 0x80 || (kind == 0x90 && (message >> 16 & 0x7F) == 0);
}
constexpr bool isNoteOn(std::uint32_t message) {
  return (message & 0xF0) == 0x90 && (message >> 16 & 0x7F) != 0;
}
constexpr unsigned noteIndex(std::uint32_t message) {
  return (message & 0x0F) << 7 | (message >> 8 & 0x7F);
}
// The Note Off of the note at index, velocity 0.
constexpr std::uint32_t noteOffFor(unsigned index) {
  return 0x80u | index >> 7 | (index & 0x7F) << 8;
}

class NoteLedger {
 public:
  static constexpr unsigned kNotes = 16 * 128;  // index: channel << 7 | note

  void set(unsigned index) { word(index).fetch_or(bit(index), std::memory_order_relaxed); }
  void clear(unsigned index) { word(index).fetch_and(~bit(index), std::memory_order_relaxed); }
  bool test(unsigned index) const {
    return (m_words[index / 64].load(std::memory_order_relaxed) & bit(index)) != 0;
  }
  bool any() const {
    for (const auto& w : m_words)
      if (w.load(std::memory_order_relaxed) != 0) return true;
    return false;
  }
  // Clears every bit and calls f(index) for each that was set, lowest first.
  template <class F>
  void takeEach(F&& f) {
    for (unsigned w = 0; w < m_words.size(); ++w) {
      std::uint64_t bits = m_words[w].exchange(0, std::memory_order_relaxed);
      while (bits != 0) {
        const unsigned lowest = static_cast<unsigned>(__builtin_ctzll(bits));
        bits &= bits - 1;
        f(w * 64 + lowest);
      }
    }
  }

 private:
  static std::uint64_t bit(unsigned index) { return std::uint64_t{1} << (index % 64); }
  std::atomic<std::uint64_t>& word(unsigned index) { return m_words[index / 64]; }
  std::array<std::atomic<std::uint64_t>, kNotes / 64> m_words{};
};

}  // namespace midi
