// SPDX-License-Identifier: GPL-3.0-or-later
// The "Midi Device" menu: filling, choosing, failing, and what a held key does across a change.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "piano_test_fixture.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

std::vector<std::string> names(int n) {
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) out.push_back("Port " + std::to_string(i));
  return out;
}

class NoDevices : public StartedPiano {};

TEST_F(NoDevices, MenuShowsOnlyTheCheckedMapper) {
  EXPECT_EQ(view.visibleDevices(), 1);
  EXPECT_EQ(view.devices[0].caption, "MIDI Mapper");
  EXPECT_TRUE(view.devices[0].enabled);
  EXPECT_THAT(view.checkedDevices(), ElementsAre(0));
  EXPECT_EQ(piano.state().midi.deviceCount, 0);
  EXPECT_EQ(view.devices.size(), 11u);  // the menu as designed: ten hidden device items
  for (std::size_t i = 1; i < view.devices.size(); ++i) {
    EXPECT_FALSE(view.devices[i].visible);
    EXPECT_FALSE(view.devices[i].enabled);
  }
}

class ThreeDevices : public StartedPiano {
 protected:
  ThreeDevices() : StartedPiano({"Synth A", "Synth B", "Synth C"}) {}
};

TEST_F(ThreeDevices, ListsNamesInIdOrderAndHidesTheRest) {
  EXPECT_EQ(view.devices[1].caption, "Synth A");
  EXPECT_EQ(view.devices[2].caption, "Synth B");
  EXPECT_EQ(view.devices[3].caption, "Synth C");
  EXPECT_EQ(view.visibleDevices(), 4);
  for (std::size_t i = 4; i < view.devices.size(); ++i) EXPECT_FALSE(view.devices[i].visible);
}

TEST_F(ThreeDevices, ChoosingTheThirdNameOpensIdTwo) {
  const auto mapper = piano.state().midi.midiOut;
  piano.device_Click(3);
  EXPECT_EQ(piano.state().midi.deviceId, 2);
  EXPECT_THAT(view.checkedDevices(), ElementsAre(3));
  EXPECT_THAT(service.calls, ElementsAre("close", "open 2"));
  EXPECT_NE(piano.state().midi.midiOut, mapper);
  piano.key_MouseDown(0);
  ASSERT_EQ(service.sent.size(), 1u);
  EXPECT_EQ(service.sent[0], (testing_support::SentMessage{2, on(0, 60, 127)}));
}

TEST_F(ThreeDevices, FailedOpenShowsTheCodeAndUndoesNothing) {
  service.failOpen[2] = midi::MMSYSERR_ALLOCATED;
  piano.device_Click(3);
  EXPECT_THAT(view.messages, ElementsAre("Couldn't open midi out, rc = 4"));
  EXPECT_THAT(view.checkedDevices(), ElementsAre(3));
  EXPECT_EQ(piano.state().midi.deviceId, 2);
  EXPECT_EQ(piano.state().midi.rc, 4);
  EXPECT_EQ(service.openOutputs(), 0);  // the Mapper stays closed
  piano.key_MouseDown(0);               // the send fails quietly
  EXPECT_THAT(service.delivered(), IsEmpty());
  EXPECT_EQ(view.messages.size(), 1u);

  service.failOpen.clear();  // a later choice that opens recovers
  piano.device_Click(1);
  EXPECT_EQ(service.openOutputs(), 1);
  EXPECT_THAT(view.checkedDevices(), ElementsAre(1));
}

TEST_F(ThreeDevices, NegativeCodesShowWithTheirSign) {
  service.failOpen[0] = -12;
  piano.device_Click(1);
  EXPECT_THAT(view.messages, ElementsAre("Couldn't open midi out, rc = -12"));
}

TEST_F(ThreeDevices, ChoosingTheCheckedItemClosesAndReopens) {
  piano.device_Click(2);
  service.calls.clear();
  piano.device_Click(2);
  EXPECT_THAT(service.calls, ElementsAre("close", "open 1"));
  EXPECT_THAT(view.checkedDevices(), ElementsAre(2));
  EXPECT_THAT(view.messages, IsEmpty());
  EXPECT_EQ(service.openOutputs(), 1);
}

TEST_F(ThreeDevices, HeldKeyIsSilencedOnTheOldOutputAndReleasedOnTheNew) {
  piano.chan_Click(3);
  piano.key_MouseDown(2);  // note 62 on channel 4, to the Mapper
  piano.chan_Click(0);
  piano.device_Click(1);
  EXPECT_EQ(view.keyStates[2], 1);  // still drawn down
  piano.key_MouseUp(2);
  EXPECT_THAT(service.sent, ElementsAre(testing_support::SentMessage{-1, on(3, 62, 127)},
                                        testing_support::SentMessage{-1, off(3, 62)},
                                        testing_support::SentMessage{0, off(3, 62)}));
}

TEST_F(ThreeDevices, ItemsThatDoNotExistAreIgnored) {
  piano.device_Click(11);
  piano.device_Click(-1);
  EXPECT_THAT(service.calls, IsEmpty());
  EXPECT_THAT(view.checkedDevices(), ElementsAre(0));
}

TEST(DeviceMenu, TwelveDevicesAreAllListed) {
  testing_support::RecordingMidiService service(names(12));
  testing_support::RecordingPianoView view;
  core::Piano piano(service, view);
  piano.Form_Load();
  ASSERT_EQ(view.devices.size(), 13u);
  EXPECT_EQ(view.visibleDevices(), 13);
  EXPECT_EQ(view.devices[12].caption, "Port 11");
  piano.device_Click(12);
  EXPECT_EQ(piano.state().midi.deviceId, 11);
  EXPECT_THAT(view.checkedDevices(), ElementsAre(12));
}

TEST(DeviceMenu, CaptionsFromTheCapabilityRecord) {
  const std::string n31(31, 'x');
  const std::string n32 = "abcdefghijklmnopqrstuvwxyz012345";
  testing_support::RecordingMidiService service({n31, n32, "lost", "R&B Synth"});
  service.failCaps = {2};
  testing_support::RecordingPianoView view;
  core::Piano piano(service, view);
  piano.Form_Load();
  EXPECT_EQ(view.devices[1].caption, n31);              // 31 characters shown whole
  EXPECT_EQ(view.devices[2].caption, n32);              // no NUL: all 32
  EXPECT_EQ(view.devices[3].caption, "MIDI output 3");  // failed query: never the previous name
  EXPECT_EQ(view.devices[4].caption, "R&B Synth");
}

}  // namespace
