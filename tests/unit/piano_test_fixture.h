// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/piano.h"
#include "support/recording_midi_service.h"
#include "support/recording_piano_view.h"

// A piano started up on the recording service, as the window would start it.
class StartedPiano : public ::testing::Test {
 protected:
  explicit StartedPiano(std::vector<std::string> devices = {}) : service(std::move(devices)) {}
  void SetUp() override {
    piano.Form_Load();
    service.sent.clear();
    service.calls.clear();
  }

  testing_support::RecordingMidiService service;
  testing_support::RecordingPianoView view;
  core::Piano piano{service, view};
};

inline constexpr std::uint32_t on(int channel, int note, int velocity) {
  return core::noteOnMessage(channel, note, velocity);
}
inline constexpr std::uint32_t off(int channel, int note) {
  return core::noteOffMessage(channel, note);
}
