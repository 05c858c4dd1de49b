// The events the helper sends to its host, one compact JSON object per line.
#pragma once

#include <string>

#include "platform/json_writer.h"

namespace olvek {

// An event: text keys to text values; the first member is always "type".
using Event = TextObject;

// The fixed message texts of the start-up errors.
inline constexpr const char* kLaunchArgumentsMessage = "Olvek Speech helper requires socket launch arguments";
inline constexpr const char* kRecognizerUnavailablePrefix = "SFSpeechRecognizer unavailable for locale ";
inline constexpr const char* kNotAuthorizedMessage = "macOS Speech Recognition permission is not authorized";

Event helloEvent(const std::string& token);
Event readyEvent(const std::string& localeId);
// "final" when `isFinal`, else "partial"; "language" carries the locale.
Event transcriptEvent(bool isFinal, const std::string& text, const std::string& localeId);
Event errorEvent(const std::string& message);
Event stoppedEvent();

// Serialises `event` and hands it to `writeLine`. An event that cannot be
// serialised (a key or value that is not valid UTF-8) is dropped without a
// word; nothing is reported in any case. Main thread only.
void emit(const Event& event);

} // namespace olvek
