// Audio from the default recording input of the sound server: PulseAudio, or
// the PulseAudio service of a PipeWire desktop, through libpulse's simple API.
#pragma once

#include <cstddef>
#include <string>

#include "host/audio_source.h"

namespace olvek::host {

// Opens a record stream on the server's default source at 16 kHz mono
// 16-bit; the server converts from whatever the device gives. The server to
// use is libpulse's choice (PULSE_SERVER, the session's server). Returns no
// source and why, for a person, when there is no server or no source.
//
// Recording starts here: what is said between this call and the first
// `read` waits in the server (up to its limit for one stream, about two
// minutes of this format), so nothing is lost while the helper starts or
// while it holds olvek-transcribe back.
//
// `read` blocks until it has `frames` samples, or until `interruptFd` (when
// not -1) is readable; it waits for audio in pieces of `pieceFrames`, so a
// live input ends a read at most one piece after an interruption, with what
// was recorded until then. A source that stops delivering (a suspended
// device) blocks `read` until it delivers again. It never ends by itself:
// `read` returns 0 only after an interruption with nothing recorded, or
// after a server error (see `error`).
OpenedAudio openMicrophone(const std::string& applicationName, std::size_t pieceFrames, int interruptFd = -1);

} // namespace olvek::host
