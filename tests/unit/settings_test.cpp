// SPDX-License-Identifier: GPL-3.0-or-later
// Channel, base note and volume as the menus and the bar change them.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <utility>

#include "piano_test_fixture.h"

using ::testing::ElementsAre;

namespace {

class Settings : public StartedPiano {};

TEST_F(Settings, ChannelTenMovesTheOneCheckMarkAndSetsStatus0x99) {
  piano.chan_Click(9);
  EXPECT_THAT(view.checkedChannels(), ElementsAre(9));
  piano.chan_Click(9);  // the checked item stays checked
  EXPECT_THAT(view.checkedChannels(), ElementsAre(9));
  piano.key_MouseDown(0);
  EXPECT_EQ(service.delivered().front() & 0xFF, 0x99u);
  piano.chan_Click(16);  // no such item
  EXPECT_EQ(piano.state().channel, 9);
}

TEST_F(Settings, BaseNoteDialogPromptTitleAndAnswer) {
  view.answers.push_back("48");
  piano.base_Click();
  EXPECT_THAT(view.prompts,
              ElementsAre("Base note|Enter the new base note for the keyboard (0 - 111)|60"));
  EXPECT_EQ(piano.state().baseNote, 48);
  EXPECT_EQ(view.shownBaseNote, 48);
  piano.base_Click();  // the next dialog offers the current value
  EXPECT_EQ(view.prompts.back().substr(view.prompts.back().rfind('|')), "|48");
}

TEST_F(Settings, BaseNoteAnswersOutsideTheRangeOrNotNumbersChangeNothing) {
  view.answers.push_back("48");  // not the starting 60: a refusal that resets shows
  piano.base_Click();
  for (const char* answer : {"112", "-1", "abc", "", "99999", "nan"}) {
    view.answers.push_back(answer);
    piano.base_Click();
    EXPECT_EQ(piano.state().baseNote, 48) << answer;
  }
  view.answers.push_back(std::nullopt);  // Cancel
  piano.base_Click();
  EXPECT_EQ(piano.state().baseNote, 48);
  EXPECT_TRUE(view.messages.empty());
  // Each answer moves the note away from the one before, so a refusal shows.
  const std::pair<const char*, int> accepted[] = {{"0", 0}, {"111", 111}, {"59.5", 60}};
  for (const auto& [answer, note] : accepted) {
    view.answers.push_back(answer);
    piano.base_Click();
    EXPECT_EQ(piano.state().baseNote, note) << answer;  // 59.5 rounds to the even 60
    EXPECT_EQ(view.shownBaseNote, note) << answer;
  }
}

TEST_F(Settings, BaseNoteUsesTheLocaleSeparator) {
  view.separator = ",";
  view.answers.push_back("50,5");
  piano.base_Click();
  EXPECT_EQ(piano.state().baseNote, 50);
}

TEST_F(Settings, VolumeFollowsTheBar) {
  view.volume = 0;
  piano.vol_Change();
  piano.key_MouseDown(0);
  EXPECT_EQ(service.delivered().front(), on(0, 60, 0));  // velocity 0 at the bottom end
  view.volume = 64;
  piano.vol_Change();
  EXPECT_EQ(piano.state().volume, 64);
}

}  // namespace
