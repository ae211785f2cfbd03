// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The MIDI output service: the five operations of the platform's MIDI output API under their
// platform names, with 32-bit handles and 32-bit signed result codes. Implementations never throw
// across this interface and never print to the terminal.

#include <cstdint>
#include <functional>

namespace midi {

using MidiOutHandle = std::uint32_t;  // 0 names no output
using ResultCode = std::int32_t;      // 0 is success

// Result codes, in the familiar numbering of the platform's MIDI API.
inline constexpr ResultCode MMSYSERR_NOERROR = 0;
inline constexpr ResultCode MMSYSERR_ERROR = 1;        // the device failed (port gone, send failed)
inline constexpr ResultCode MMSYSERR_BADDEVICEID = 2;  // no such device id
inline constexpr ResultCode MMSYSERR_ALLOCATED = 4;    // the device is already open
inline constexpr ResultCode MMSYSERR_INVALHANDLE = 5;  // 0, closed, stale or invented handle
inline constexpr ResultCode MMSYSERR_NODRIVER = 6;     // no audio output / MIDI system reachable
inline constexpr ResultCode MMSYSERR_NOMEM = 7;        // out of memory
inline constexpr ResultCode MMSYSERR_INVALPARAM = 11;  // not a channel voice message
// No General MIDI SoundFont was found (the familiar "no configured instruments" code).
inline constexpr ResultCode MIDIERR_NODEVICE = 68;

// Device id of the MIDI Mapper, the default output (here: the embedded synthesizer).
inline constexpr std::int32_t MIDI_MAPPER = -1;

// The capabilities record in its 8-bit-character form: 52 bytes, the platform's layout.
struct MidiOutCaps {
  std::uint16_t wMid = 0;
  std::uint16_t wPid = 0;
  std::uint32_t vDriverVersion = 0;
  char szPname[32] = {};  // UTF-8, NUL-terminated unless all 32 bytes are used
  std::uint16_t wTechnology = 0;
  std::uint16_t wVoices = 0;
  std::uint16_t wNotes = 0;
  std::uint16_t wChannelMask = 0;
  std::uint32_t dwSupport = 0;
};
static_assert(sizeof(MidiOutCaps) == 52, "MidiOutCaps must keep the platform's 52-byte layout");

inline constexpr std::uint16_t MOD_MIDIPORT = 1;  // wTechnology: a hardware or software port
inline constexpr std::uint16_t MOD_SWSYNTH = 7;   // wTechnology: a software synthesizer

class MidiOutService {
 public:
  virtual ~MidiOutService() = default;

  // Number of output devices; ids 0..count-1 are valid. Fixed for the life of the service.
  virtual std::uint32_t midiOutGetNumDevs() = 0;
  // Fills caps for deviceId (MIDI_MAPPER included); size must be sizeof(MidiOutCaps).
  virtual ResultCode midiOutGetDevCapsA(std::int32_t deviceId, MidiOutCaps& caps,
                                        std::uint32_t size) = 0;
  // Opens deviceId for short messages and writes the new handle; on failure handle becomes 0.
  // Callbacks are not supported: callback, instance and flags must be 0.
  virtual ResultCode midiOutOpen(MidiOutHandle& handle, std::int32_t deviceId,
                                 std::uintptr_t callback, std::uintptr_t instance,
                                 std::uint32_t flags) = 0;
  // Sends one packed short message (status in bits 0-7, data in 8-15 and 16-23) at once.
  virtual ResultCode midiOutShortMsg(MidiOutHandle handle, std::uint32_t message) = 0;
  // Closes the output; the handle is dead afterwards.
  virtual ResultCode midiOutClose(MidiOutHandle handle) = 0;

  // An output may finish opening after midiOutOpen has returned 0 (the Mapper loads its
  // SoundFont in the background). If that then fails, the handler runs once with the handle and
  // the code, on a thread of the service's. Setting another handler, or none, waits for a call
  // in progress to end, so a window can clear it before it goes.
  using LateFailureHandler = std::function<void(MidiOutHandle, ResultCode)>;
  virtual void setLateFailureHandler(LateFailureHandler handler) { (void)handler; }
};

// Bytes of a packed short message that its status byte calls for: 3 for note, key pressure,
// controller and pitch bend; 2 for program change and channel pressure; 0 for anything that is
// not a channel voice message (system messages are not sent through this service).
int shortMessageLength(std::uint32_t message);

}  // namespace midi
