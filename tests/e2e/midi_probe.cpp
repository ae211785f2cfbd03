// SPDX-License-Identifier: GPL-3.0-or-later
// Drives the real MIDI output service from a script, one command a line on standard input:
//   list            -> one line per device: "<id> <name>"
//   open <id>       -> "rc <code>"
//   send <hex>      -> "rc <code>"   (a packed short message, e.g. 7f3c90)
//   close           -> "rc <code>"
//   synth           -> "<sink> <buffer ms> <ready|loading|failed> <running|idle>" of the open
//                      Mapper: its sink, its font and whether the sink runs
//   cost <n>        -> "us <mean>": n Note On/Off messages, in bursts the port's buffer holds,
//                      and the mean time a send takes the caller
// The environment variable TAMRELS_SOUNDFONT_DIR, when set, replaces the SoundFont search;
// TAMRELS_PROBE_LOG, when set, has the program's log lines written to the file it names.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include "midi/log.h"
#include "midi/service/system_midi_service.h"

namespace {
FILE* g_log = nullptr;
}

int main() {
  if (const char* path = std::getenv("TAMRELS_PROBE_LOG"); path && (g_log = std::fopen(path, "a")))
    midi::setLogSink([](midi::LogRoom, midi::LogLevel, std::string_view text) {
      std::fprintf(g_log, "%.*s\n", static_cast<int>(text.size()), text.data());
      std::fflush(g_log);
    });
  midi::SynthConfig config = midi::SynthConfig::defaults();
  if (const char* dir = std::getenv("TAMRELS_SOUNDFONT_DIR")) config.soundFontSearch = {dir};
  midi::SystemMidiService service(config);
  midi::MidiOutHandle handle = 0;

  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string command;
    in >> command;
    if (command == "list") {
      for (std::uint32_t id = 0; id < service.midiOutGetNumDevs(); ++id) {
        midi::MidiOutCaps caps;
        service.midiOutGetDevCapsA(static_cast<std::int32_t>(id), caps, sizeof caps);
        std::cout << id << ' ' << caps.szPname << '\n';
      }
      std::cout << "end\n";
    } else if (command == "open") {
      std::int32_t id = 0;
      in >> id;
      std::cout << "rc " << service.midiOutOpen(handle, id, 0, 0, 0) << '\n';
    } else if (command == "send") {
      std::uint32_t message = 0;
      in >> std::hex >> message;
      std::cout << "rc " << service.midiOutShortMsg(handle, message) << '\n';
    } else if (command == "close") {
      std::cout << "rc " << service.midiOutClose(handle) << '\n';
    } else if (command == "synth") {
      const midi::SynthOutput* synth = service.synthFor(handle);
      if (synth)
        std::cout << synth->audioDriver() << ' ' << synth->bufferMilliseconds() << ' '
                  << synth->fontState() << ' ' << (synth->audioRunning() ? "running" : "idle")
                  << '\n';
      else
        std::cout << "none\n";
    } else if (command == "cost") {
      int count = 0;
      in >> count;
      std::chrono::steady_clock::duration spent{};
      for (int i = 0; i < count; ++i) {
        const auto start = std::chrono::steady_clock::now();
        service.midiOutShortMsg(handle, i % 2 ? 0x00003C80u : 0x007F3C90u);
        spent += std::chrono::steady_clock::now() - start;
        if (i % 100 == 99) std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      std::cout << "us " << std::chrono::duration<double, std::micro>(spent).count() / count
                << '\n';
    } else if (!command.empty()) {
      std::cout << "unknown\n";
    }
    std::cout.flush();
  }
  return 0;
}
