// SPDX-License-Identifier: GPL-3.0-or-later
#include "key_translation.h"

#include <xcb/xcb.h>
// xkb.h names a field "explicit"; Qt does the same around it.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit

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

namespace {

template <typename Reply>
using XcbReply = std::unique_ptr<Reply, decltype(&std::free)>;

// Set once on the UI thread before any key event; read there only.
bool serverSendsRealReleases = false;

// Whether the X server holds the key of this event down right now: a release whose key is still
// down is a repeat's, flagged or not. False where there is no X server to ask.
bool keyPhysicallyDown(const QKeyEvent& event) {
  auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  if (!x11 || event.nativeScanCode() == 0 || event.nativeScanCode() > 255) return false;
  xcb_connection_t* connection = x11->connection();
  XcbReply<xcb_query_keymap_reply_t> reply(
      xcb_query_keymap_reply(connection, xcb_query_keymap(connection), nullptr), &std::free);
  if (!reply) return false;
  const quint32 code = event.nativeScanCode();
  return (reply->keys[code / 8] >> (code % 8)) & 1;
}

}  // namespace

void askServerForRealReleases() {
  auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  xcb_connection_t* c =
      x11 && QGuiApplication::platformName() == "xcb" ? x11->connection() : nullptr;
  // Asking a server without XKB for it would close the connection.
  const xcb_query_extension_reply_t* extension =
      c ? xcb_get_extension_data(c, &xcb_xkb_id) : nullptr;
  if (!extension || !extension->present) return;
  XcbReply<xcb_xkb_use_extension_reply_t> xkb(
      xcb_xkb_use_extension_reply(
          c, xcb_xkb_use_extension(c, XCB_XKB_MAJOR_VERSION, XCB_XKB_MINOR_VERSION), nullptr),
      &std::free);
  if (!xkb || !xkb->supported) return;
  const std::uint32_t flag = XCB_XKB_PER_CLIENT_FLAG_DETECTABLE_AUTO_REPEAT;
  XcbReply<xcb_xkb_per_client_flags_reply_t> flags(
      xcb_xkb_per_client_flags_reply(
          c, xcb_xkb_per_client_flags(c, XCB_XKB_ID_USE_CORE_KBD, flag, flag, 0, 0, 0), nullptr),
      &std::free);
  serverSendsRealReleases = flags && (flags->value & flag) != 0;
}

bool keyLetGo(const QKeyEvent& event) {
  // Qt's own guess is not asked then: it looks only at whether a press follows in the queue.
  if (serverSendsRealReleases) return true;
  // Elsewhere (Wayland, where Qt repeats held keys itself) the flag is right; an X server without
  // XKB is asked whether the key is still down.
  return !event.isAutoRepeat() && !keyPhysicallyDown(event);
}

}  // namespace ui
