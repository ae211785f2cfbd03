// SPDX-License-Identifier: GPL-3.0-or-later
// The key press engine and the piano's life cycle, through the real code and the recording
// service.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "piano_test_fixture.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class KeyEngine : public StartedPiano {};

TEST(ShortMessages, PackStatusNoteAndVelocity) {
  EXPECT_EQ(core::noteOnMessage(0, 60, 127), 0x007F3C90u);
  EXPECT_EQ(core::noteOffMessage(0, 60), 0x00003C80u);
  EXPECT_EQ(core::noteOnMessage(15, 127, 127), 0x007F7F9Fu);
  EXPECT_EQ(core::noteOffMessage(15, 127), 0x00007F8Fu);
}

TEST_F(KeyEngine, PressAndReleaseOfKeyZeroAtStartValues) {
  piano.key_MouseDown(0);
  EXPECT_EQ(view.keyStates[0], 1);
  piano.key_MouseUp(0);
  EXPECT_EQ(view.keyStates[0], 0);
  EXPECT_THAT(service.delivered(), ElementsAre(0x007F3C90u, 0x00003C80u));
}

TEST_F(KeyEngine, EveryKeyPlaysBaseNotePlusItsIndex) {
  for (std::int16_t i = 0; i < core::kKeyCount; ++i) {
    piano.key_MouseDown(i);
    piano.key_MouseUp(i);
  }
  ASSERT_EQ(service.delivered().size(), 34u);
  for (int i = 0; i < core::kKeyCount; ++i) {
    EXPECT_EQ(service.delivered()[2 * i], on(0, 60 + i, 127));
    EXPECT_EQ(service.delivered()[2 * i + 1], off(0, 60 + i));
  }
}

TEST_F(KeyEngine, HeldKeyRepeatsSendOneNoteOn) {
  for (int i = 0; i < 20; ++i) piano.Form_KeyDown('Z');
  piano.Form_KeyUp('Z');
  EXPECT_THAT(service.delivered(), ElementsAre(on(0, 60, 127), off(0, 60)));
}

TEST_F(KeyEngine, NoKeyAndOutOfRangeIndexesAreIgnored) {
  for (std::int16_t i :
       {std::int16_t{-1}, std::int16_t{17}, std::int16_t{-2}, std::int16_t{32767}}) {
    piano.key_MouseDown(i);
    piano.key_MouseUp(i);
  }
  EXPECT_THAT(service.sent, IsEmpty());
  EXPECT_THAT(view.keyStates, IsEmpty());
}

TEST_F(KeyEngine, ReleaseOfAnUpKeySendsNothing) {
  piano.key_MouseUp(3);
  EXPECT_EQ(view.keyStates[3], 0);  // drawn raised all the same
  piano.chan_Click(2);
  piano.Form_KeyUp('S');  // key 1, under other settings
  EXPECT_THAT(service.sent, IsEmpty());
}

TEST_F(KeyEngine, MouseAndKeyboardOnTheSameKey) {
  piano.Form_KeyDown('V');  // key 5
  piano.key_MouseDown(5);   // already down: absorbed
  piano.key_MouseUp(5);     // first release: Note Off, drawn raised
  EXPECT_EQ(view.keyStates[5], 0);
  piano.Form_KeyUp('V');  // second release: the note has ended already
  EXPECT_EQ(view.keyStates[5], 0);
  EXPECT_THAT(service.delivered(), ElementsAre(on(0, 65, 127), off(0, 65)));
}

TEST_F(KeyEngine, HighestBaseNoteGivesNote127OnTheTopKey) {
  view.answers.push_back("111");
  piano.base_Click();
  piano.key_MouseDown(16);
  piano.key_MouseUp(16);
  EXPECT_THAT(service.delivered(), ElementsAre(on(0, 127, 127), off(0, 127)));
}

TEST_F(KeyEngine, NoteOffOfAHeldKeyMatchesItsNoteOnAcrossSettingChanges) {
  piano.key_MouseDown(0);
  piano.chan_Click(9);
  view.answers.push_back("48");
  piano.base_Click();
  piano.key_MouseUp(0);
  piano.key_MouseDown(0);  // the next press uses the new settings
  piano.key_MouseUp(0);
  EXPECT_THAT(service.delivered(),
              ElementsAre(on(0, 60, 127), off(0, 60), on(9, 48, 127), off(9, 48)));
}

TEST_F(KeyEngine, DeactivationReleasesEveryHeldKey) {
  piano.Form_KeyDown('Z');
  piano.Form_KeyDown('S');
  piano.Form_Deactivate();
  EXPECT_EQ(piano.engine().keysDown(), 0);
  EXPECT_EQ(view.keyStates[0], 0);
  EXPECT_EQ(view.keyStates[1], 0);
  EXPECT_THAT(service.delivered(),
              ElementsAre(on(0, 60, 127), on(0, 61, 127), off(0, 60), off(0, 61)));
  piano.Form_KeyUp('Z');  // the late key-up, if it comes, sends nothing more
  EXPECT_EQ(service.delivered().size(), 4u);
}

// ---- life cycle ----

TEST(LifeCycle, StartUpStateAndOrder) {
  testing_support::RecordingMidiService service({"Port A"});
  testing_support::RecordingPianoView view;
  core::Piano piano(service, view);
  EXPECT_EQ(piano.state().midi.deviceId, 0);  // all zero before the load event
  EXPECT_EQ(piano.state().baseNote, 0);

  piano.Form_Load();
  const auto& s = piano.state();
  EXPECT_EQ(s.midi.deviceId, -1);
  EXPECT_EQ(s.midi.deviceCount, 1);
  EXPECT_NE(s.midi.midiOut, 0u);
  EXPECT_EQ(s.midi.rc, 0);
  EXPECT_EQ(s.channel, 0);
  EXPECT_EQ(s.volume, 127);
  EXPECT_EQ(s.baseNote, 60);
  // The menu is filled first, then the first device choice closes the (unopened) handle 0 and
  // opens the Mapper.
  EXPECT_THAT(service.calls, ElementsAre("count", "caps 0", "close", "open -1"));
  EXPECT_THAT(view.messages, IsEmpty());  // the failed close of handle 0 is never shown
  EXPECT_THAT(view.checkedChannels(), ElementsAre(0));
  EXPECT_EQ(view.volumeTop, 127);
  EXPECT_EQ(view.volumeBottom, 0);
  EXPECT_EQ(view.volume, 127);
  EXPECT_EQ(view.shownBaseNote, 60);
}

TEST(LifeCycle, FailedMapperOpenIsReportedAndStartUpGoesOn) {
  testing_support::RecordingMidiService service;
  service.failOpen[-1] = midi::MMSYSERR_NODRIVER;
  testing_support::RecordingPianoView view;
  core::Piano piano(service, view);
  piano.Form_Load();
  EXPECT_THAT(view.messages, ElementsAre("Couldn't open midi out, rc = 6"));
  EXPECT_EQ(piano.state().baseNote, 60);
  EXPECT_EQ(piano.state().midi.midiOut, 0u);
  // Keys still move; their sends hit a dead handle and are refused, never undefined.
  piano.key_MouseDown(0);
  EXPECT_EQ(view.keyStates[0], 1);
  EXPECT_THAT(service.delivered(), IsEmpty());
  ASSERT_EQ(service.sent.size(), 1u);
}

class ShutDown : public StartedPiano {};

TEST_F(ShutDown, HeldKeysAreSwitchedOffBeforeTheOutputCloses) {
  piano.Form_KeyDown('Z');
  piano.chan_Click(4);
  piano.key_MouseDown(16);
  piano.Form_Unload();
  EXPECT_THAT(service.delivered(),
              ElementsAre(on(0, 60, 127), on(4, 76, 127), off(0, 60), off(4, 76)));
  EXPECT_THAT(service.calls, ElementsAre("close"));
  EXPECT_EQ(piano.state().midi.rc, 0);
  EXPECT_EQ(service.openOutputs(), 0);
}

TEST_F(ShutDown, WithNothingHeldOnlyCloses) {
  piano.Form_Unload();
  EXPECT_THAT(service.sent, IsEmpty());
  EXPECT_THAT(service.calls, ElementsAre("close"));
}

}  // namespace
