// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Every position and size of the window, in twips (1/1440 inch) from the top left corner of the
// client area. Converted once with the screen's logical dpi: 96 dpi gives 15 twips a pixel.

#include <QRect>
#include <array>

namespace ui {

struct TwipRect {
  int left, top, width, height;
};

inline constexpr int kClientWidth = 5175;
inline constexpr int kClientHeight = 2775;

struct KeyLayout {
  const char* caption;
  bool black;
  int left;
  int tabIndex;
};

inline constexpr int kWhiteKeyWidth = 495, kWhiteKeyHeight = 2175;
inline constexpr int kBlackKeyWidth = 255, kBlackKeyHeight = 1335;

// White keys stand 480 apart from 360 and share a 15-wide column with their neighbour; black
// keys sit over the seams at 720 + 480 n.
inline constexpr std::array<KeyLayout, 17> kKeys{{
    {"Z", false, 360, 0},
    {"S", true, 720, 10},
    {"X", false, 840, 1},
    {"D", true, 1200, 11},
    {"C", false, 1320, 2},
    {"V", false, 1800, 3},
    {"G", true, 2160, 12},
    {"B", false, 2280, 4},
    {"H", true, 2640, 13},
    {"N", false, 2760, 5},
    {"J", true, 3120, 14},
    {"M", false, 3240, 6},
    {",", false, 3720, 7},
    {"L", true, 4080, 15},
    {".", false, 4200, 8},
    {";", true, 4560, 16},
    {"/", false, 4680, 9},
}};

inline constexpr TwipRect kVolumeBar{0, 360, 255, 1815};
inline constexpr TwipRect kVolumeLabel{0, 120, 255, 255};

inline constexpr TwipRect keyRect(int index) {
  const KeyLayout& k = kKeys[static_cast<std::size_t>(index)];
  return k.black ? TwipRect{k.left, 0, kBlackKeyWidth, kBlackKeyHeight}
                 : TwipRect{k.left, 0, kWhiteKeyWidth, kWhiteKeyHeight};
}

inline int twipsToPixels(int twips, int dpi) { return twips * dpi / 1440; }

inline QRect toPixels(const TwipRect& r, int dpi) {
  return QRect(twipsToPixels(r.left, dpi), twipsToPixels(r.top, dpi), twipsToPixels(r.width, dpi),
               twipsToPixels(r.height, dpi));
}

}  // namespace ui
