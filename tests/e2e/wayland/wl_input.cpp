// SPDX-License-Identifier: GPL-3.0-or-later
// A keyboard and a mouse for a Wayland compositor that offers virtual ones (wlroots' sway): the
// keyboard carries the keymap that XKB compiles for a layout, as a real keyboard under that
// layout does, and sends evdev key codes, so a key is a physical key, whatever it types. One
// command a line on standard input, "ok" (or "error ...") a line on standard output:
//   layout <layout> [<variant>]    the keymap of a layout ("us", "de", "fr"; "us" "dvorak")
//   key <evdev code> <1|0>         a key down or up; the modifiers follow from the keymap
//   move <x> <y> <width> <height>  the pointer to (x, y) of the outputs' box, in logical pixels
//   button <evdev code> <1|0>      a button down or up (272 is the left one)

#include <linux/input-event-codes.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

namespace {

wl_seat* g_seat = nullptr;
zwp_virtual_keyboard_manager_v1* g_keyboards = nullptr;
zwlr_virtual_pointer_manager_v1* g_pointers = nullptr;

void global(void*, wl_registry* registry, std::uint32_t name, const char* interface,
            std::uint32_t) {
  if (std::strcmp(interface, wl_seat_interface.name) == 0 && !g_seat)
    g_seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
  else if (std::strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0)
    g_keyboards = static_cast<zwp_virtual_keyboard_manager_v1*>(
        wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1));
  else if (std::strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0)
    g_pointers = static_cast<zwlr_virtual_pointer_manager_v1*>(
        wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1));
}

void globalRemoved(void*, wl_registry*, std::uint32_t) {}

const wl_registry_listener kRegistry = {global, globalRemoved};

std::uint32_t nowMs() {
  using namespace std::chrono;
  return static_cast<std::uint32_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

class Keyboard {
 public:
  explicit Keyboard(zwp_virtual_keyboard_v1* keyboard)
      : m_keyboard(keyboard), m_context(xkb_context_new(XKB_CONTEXT_NO_FLAGS)) {}

  bool layout(const std::string& layout, const std::string& variant) {
    if (!m_context) return false;
    const xkb_rule_names names{"evdev", "pc105", layout.c_str(), variant.c_str(), ""};
    xkb_keymap* keymap = xkb_keymap_new_from_names(m_context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
    if (!keymap) return false;
    char* text = xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1);
    if (!text) {
      xkb_keymap_unref(keymap);
      return false;
    }
    const std::size_t size = std::strlen(text) + 1;
    const int fd = memfd_create("keymap", MFD_CLOEXEC);
    const bool written = fd >= 0 && write(fd, text, size) == static_cast<ssize_t>(size);
    std::free(text);
    if (written)
      zwp_virtual_keyboard_v1_keymap(m_keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                     static_cast<std::uint32_t>(size));
    if (fd >= 0) close(fd);
    if (m_state) xkb_state_unref(m_state);
    if (m_keymap) xkb_keymap_unref(m_keymap);
    m_keymap = keymap;
    m_state = xkb_state_new(keymap);
    return written;
  }

  // False before a layout: a key without a keymap means nothing.
  bool key(std::uint32_t code, bool down) {
    if (!m_state) return false;
    zwp_virtual_keyboard_v1_key(
        m_keyboard, nowMs(), code,
        down ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
    // A keyboard's driver tells the modifiers its keys make under its keymap.
    xkb_state_update_key(m_state, code + 8, down ? XKB_KEY_DOWN : XKB_KEY_UP);
    zwp_virtual_keyboard_v1_modifiers(
        m_keyboard, xkb_state_serialize_mods(m_state, XKB_STATE_MODS_DEPRESSED),
        xkb_state_serialize_mods(m_state, XKB_STATE_MODS_LATCHED),
        xkb_state_serialize_mods(m_state, XKB_STATE_MODS_LOCKED),
        xkb_state_serialize_layout(m_state, XKB_STATE_LAYOUT_EFFECTIVE));
    return true;
  }

 private:
  zwp_virtual_keyboard_v1* m_keyboard;
  xkb_context* m_context;
  xkb_keymap* m_keymap = nullptr;
  xkb_state* m_state = nullptr;
};

}  // namespace

int main() {
  wl_display* display = wl_display_connect(nullptr);
  if (!display) {
    std::fprintf(stderr, "no Wayland display\n");
    return 1;
  }
  wl_registry* registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &kRegistry, nullptr);
  wl_display_roundtrip(display);
  if (!g_seat || !g_keyboards || !g_pointers) {
    std::fprintf(stderr, "the compositor offers no virtual keyboard or pointer\n");
    return 1;
  }
  Keyboard keyboard(zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(g_keyboards, g_seat));
  zwlr_virtual_pointer_v1* pointer =
      zwlr_virtual_pointer_manager_v1_create_virtual_pointer(g_pointers, g_seat);

  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string verb;
    in >> verb;
    bool ok = true;
    if (verb == "layout") {
      std::string layout, variant;
      in >> layout >> variant;
      ok = keyboard.layout(layout, variant);
    } else if (verb == "key") {
      std::uint32_t code = 0;
      int down = 0;
      ok = static_cast<bool>(in >> code >> down);
      ok = ok && keyboard.key(code, down != 0);
    } else if (verb == "move") {
      std::uint32_t x = 0, y = 0, width = 0, height = 0;
      ok = static_cast<bool>(in >> x >> y >> width >> height);
      if (ok) {
        zwlr_virtual_pointer_v1_motion_absolute(pointer, nowMs(), x, y, width, height);
        zwlr_virtual_pointer_v1_frame(pointer);
      }
    } else if (verb == "button") {
      std::uint32_t code = BTN_LEFT;
      int down = 0;
      ok = static_cast<bool>(in >> code >> down);
      if (ok) {
        zwlr_virtual_pointer_v1_button(
            pointer, nowMs(), code,
            down ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
        zwlr_virtual_pointer_v1_frame(pointer);
      }
    } else {
      ok = false;
    }
    // The compositor has taken the request once it answers the round trip.
    if (wl_display_roundtrip(display) < 0) {
      std::printf("error the connection failed: %s\n",
                  std::strerror(wl_display_get_error(display)));
      return 1;
    }
    std::printf(ok ? "ok\n" : "error %s\n", line.c_str());
    std::fflush(stdout);
  }
  wl_display_disconnect(display);
  return 0;
}
