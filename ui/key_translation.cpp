// SPDX-License-Identifier: GPL-3.0-or-later
#include "key_translation.h"

#include <xcb/xcb.h>

#include <QGuiApplication>
#include <QKeyEvent>
#include <memory>

#include "core/keyboard_map.h"

namespace ui {

namespace {

enum class Platform { Xkb, Windows, Mac, Other };

Platform platform() {
  static const Platform p = [] {
    const QString name = QGuiApplication::platformName();
    if (name == "xcb" || name.startsWith("wayland")) return Platform::Xkb;
    if (name == "windows") return Platform::Windows;
    if (name == "cocoa") return Platform::Mac;
    return Platform::Other;
  }();
  return p;
}

}  // namespace

std::int16_t virtualKeyFor(const QKeyEvent& event) {
  switch (platform()) {
    case Platform::Xkb:
      if (event.nativeScanCode() != 0) return core::virtualKeyForXkbKeycode(event.nativeScanCode());
      break;
    case Platform::Windows:
      if (event.nativeScanCode() != 0)
        return core::virtualKeyForWindowsScanCode(event.nativeScanCode());
      break;
    case Platform::Mac: return core::virtualKeyForMacKeyCode(event.nativeVirtualKey());
    case Platform::Other: break;
  }
  return core::virtualKeyForCharacterKey(event.key());
}

bool keyPhysicallyDown(const QKeyEvent& event) {
  auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  if (!x11 || event.nativeScanCode() == 0 || event.nativeScanCode() > 255) return false;
  xcb_connection_t* connection = x11->connection();
  std::unique_ptr<xcb_query_keymap_reply_t, decltype(&std::free)> reply(
      xcb_query_keymap_reply(connection, xcb_query_keymap(connection), nullptr), &std::free);
  if (!reply) return false;
  const quint32 code = event.nativeScanCode();
  return (reply->keys[code / 8] >> (code % 8)) & 1;
}

}  // namespace ui
