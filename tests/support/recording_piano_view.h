// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// A PianoView for tests: remembers what the piano showed and answers the dialog from a queue.

#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/piano.h"

namespace testing_support {

struct MenuItem {
  std::string caption;
  bool visible = false;
  bool enabled = false;
  bool checked = false;
};

class RecordingPianoView : public core::PianoView {
 public:
  std::map<int, int> keyStates;
  std::vector<MenuItem> devices;
  std::vector<std::string> messages;
  std::map<int, bool> channelChecked;
  int volumeTop = 0, volumeBottom = 0, volume = 0;
  std::deque<std::optional<std::string>> answers;  // what the dialog returns, in turn
  std::vector<std::string> prompts;                // "title|prompt|answer" of each dialog
  std::string separator = ".";
  int shownBaseNote = -1;

  void setKeyState(std::int16_t index, int state) override { keyStates[index] = state; }
  void ensureDeviceItems(int count) override {
    if (static_cast<int>(devices.size()) < count) devices.resize(static_cast<std::size_t>(count));
  }
  void setDeviceCaption(std::int16_t i, const std::string& c) override { item(i).caption = c; }
  void setDeviceVisible(std::int16_t i, bool v) override { item(i).visible = v; }
  void setDeviceEnabled(std::int16_t i, bool e) override { item(i).enabled = e; }
  void setDeviceChecked(std::int16_t i, bool c) override { item(i).checked = c; }
  void showMessage(const std::string& text) override { messages.push_back(text); }
  void setChannelChecked(std::int16_t i, bool c) override { channelChecked[i] = c; }
  void setVolumeMinimum(std::int16_t v) override { volumeTop = v; }
  void setVolumeMaximum(std::int16_t v) override { volumeBottom = v; }
  void setVolumeValue(std::int16_t v) override { volume = v; }
  std::int16_t volumeValue() const override { return static_cast<std::int16_t>(volume); }
  std::optional<std::string> askText(const std::string& prompt, const std::string& title,
                                     const std::string& answer) override {
    prompts.push_back(title + "|" + prompt + "|" + answer);
    if (answers.empty()) return std::nullopt;
    auto a = answers.front();
    answers.pop_front();
    return a;
  }
  std::string decimalSeparator() const override { return separator; }
  void showBaseNote(std::int16_t b) override { shownBaseNote = b; }

  int visibleDevices() const {
    int n = 0;
    for (const auto& d : devices) n += d.visible;
    return n;
  }
  std::vector<int> checkedDevices() const {
    std::vector<int> out;
    for (std::size_t i = 0; i < devices.size(); ++i)
      if (devices[i].checked) out.push_back(static_cast<int>(i));
    return out;
  }
  std::vector<int> checkedChannels() const {
    std::vector<int> out;
    for (const auto& [i, c] : channelChecked)
      if (c) out.push_back(i);
    return out;
  }

 private:
  MenuItem& item(std::int16_t i) {
    if (i < 0) throw std::out_of_range("negative device item");
    return devices.at(static_cast<std::size_t>(i));
  }
};

}  // namespace testing_support
