// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The main window. It builds the controls from the layout table, forwards every event to
// core::Piano and shows what the piano tells it through PianoView. It holds no behaviour.

#include <QMainWindow>
#include <array>
#include <functional>
#include <utility>
#include <vector>

#include "core/piano.h"
#include "piano_key.h"
#include "volume_bar.h"

class QAction;
class QLabel;
class QMenu;

namespace ui {

inline constexpr char kTitle[] = "Tamrels Midi Piano";

class Form1 : public QMainWindow, public core::PianoView {
  Q_OBJECT
 public:
  // Builds the window and runs the piano's start-up; the window is shown afterwards by the caller.
  explicit Form1(midi::MidiOutService& service, QWidget* parent = nullptr);
  ~Form1() override;

  core::Piano& piano() { return m_piano; }
  PianoKey* key(int index) const { return m_keys[static_cast<std::size_t>(index)]; }
  VolumeBar* volumeBar() const { return m_vol; }
  QLabel* volumeLabel() const { return m_label; }
  QWidget* clientArea() const { return m_client; }
  QAction* deviceItem(int index) const { return m_deviceItems[static_cast<std::size_t>(index)]; }
  int deviceItemCount() const { return static_cast<int>(m_deviceItems.size()); }
  QAction* channelItem(int index) const { return m_chanItems[static_cast<std::size_t>(index)]; }
  QAction* baseItem() const { return m_base; }

  // PianoView
  void setKeyState(std::int16_t index, int state) override;
  void ensureDeviceItems(int count) override;
  void setDeviceCaption(std::int16_t index, const std::string& caption) override;
  void setDeviceVisible(std::int16_t index, bool visible) override;
  void setDeviceEnabled(std::int16_t index, bool enabled) override;
  void setDeviceChecked(std::int16_t index, bool checked) override;
  void showMessage(const std::string& text) override;
  void setChannelChecked(std::int16_t index, bool checked) override;
  void setVolumeMinimum(std::int16_t value) override;
  void setVolumeMaximum(std::int16_t value) override;
  void setVolumeValue(std::int16_t value) override;
  std::int16_t volumeValue() const override;
  std::optional<std::string> askText(const std::string& prompt, const std::string& title,
                                     const std::string& answer) override;
  std::string decimalSeparator() const override;
  void showBaseNote(std::int16_t baseNote) override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void changeEvent(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void buildControls();
  void buildMenus();
  QAction* addMenuItem(QMenu* menu, bool visible, bool enabled, std::function<void()> choose);
  void unload();
  void outputFailed(midi::MidiOutHandle handle, midi::ResultCode rc);
  template <class Dialog>
  auto modal(Dialog&& dialog);

  midi::MidiOutService& m_service;
  core::Piano m_piano;
  QWidget* m_client = nullptr;
  std::array<PianoKey*, 17> m_keys{};
  VolumeBar* m_vol = nullptr;
  QLabel* m_label = nullptr;
  QMenu* m_deviceMenu = nullptr;
  std::vector<QAction*> m_deviceItems;
  std::array<QAction*, 16> m_chanItems{};
  QAction* m_base = nullptr;
  // The key that the mouse holds down, -1 none. Its release can be lost to the desktop (a
  // gesture, a screenshot, a pointer grab); any later event that shows the buttons up lets go.
  std::int16_t m_mouseKey = -1;
  bool m_unloaded = false;
  int m_modalDepth = 0;  // dialogs of ours open now
  std::vector<std::pair<midi::MidiOutHandle, midi::ResultCode>> m_failuresAfterDialog;
};

}  // namespace ui
