// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace midi {

struct SynthConfig {
  // SoundFonts to try, in order; a folder stands for the .sf2 and .sf3 files in it.
  std::vector<std::string> soundFontSearch;
  // Sinks to try, in order; the first that a server accepts in time wins. "pipewire",
  // "pulseaudio" and "jack" are our own streams, any other name a FluidSynth driver. A sound
  // server is never started.
  std::vector<std::string> audioDrivers;
  int sampleRate = 48000;
  int periodSize = 64;  // frames: 1.3 ms at 48 kHz (FluidSynth's drivers)
  int periods = 2;
  double gain = 0.5;
  // The quantum asked of PipeWire's graph, in frames at sampleRate: 2.7 ms.
  int pipeWireQuantum = 128;
  // The stream's whole latency asked of PulseAudio; the server may grant more.
  std::chrono::microseconds pulseLatency{6000};
  // How long the caller waits for any one sound server to accept a sink, and for the whole
  // chain: a server that does not answer in time takes its share from the ones after it, which
  // are still asked (an absent server says so at once) and go on waiting if they do not answer.
  std::chrono::milliseconds serverDeadline{250};
  std::chrono::milliseconds chainDeadline{300};
  // A sink sleeps when nothing has sounded for this long: an idle keyboard costs no CPU. The next
  // message wakes it off the caller's thread (for FluidSynth's drivers: a new driver, about a
  // millisecond or two).
  std::chrono::milliseconds idleSuspend{5000};

  static SynthConfig defaults();
};

}  // namespace midi
