// The events the helper sends to its host, one compact JSON object per line.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/json_writer.h"

namespace olvek {

// An event: text keys to text values (and, in timed finals only, the list of
// words); the first member is always "type".
using Event = JsonObject;

// The launch flag that asks for word times in transcript events. Without it
// the events are exactly the plain catalogue.
inline constexpr const char* kTimingsFlag = "--olvek-timings";

// One word of a transcript and where it lies, in seconds from the first
// sample of the run's audio.
struct TimedWord {
    std::string word;
    double start = 0;
    double end = 0;
    // 0 to 1.
    double confidence = 0;
};

// Where a transcript lies: from its first word's start to its last word's
// end, and (for a final) each word.
struct TranscriptTimes {
    double start = 0;
    double end = 0;
    std::vector<TimedWord> words;
};

// The fixed message texts of the start-up errors.
inline constexpr const char* kLaunchArgumentsMessage = "Olvek Speech helper requires socket launch arguments";
inline constexpr const char* kRecognizerUnavailablePrefix = "SFSpeechRecognizer unavailable for locale ";
inline constexpr const char* kNotAuthorizedMessage = "macOS Speech Recognition permission is not authorized";

Event helloEvent(const std::string& token);
Event readyEvent(const std::string& localeId);
// "final" when `isFinal`, else "partial"; "language" carries the locale.
Event transcriptEvent(bool isFinal, const std::string& text, const std::string& localeId);
// The same with the times: "start" and "end" as text with three decimals
// ("12.340"), and on a final "words", a list of objects with "word",
// "start", "end" and "confidence", every value text.
Event transcriptEvent(bool isFinal, const std::string& text, const std::string& localeId,
                      const TranscriptTimes& times);
// Times and confidences as the events carry them: three decimals ("12.340"),
// never negative.
std::string threeDecimals(double seconds);
Event errorEvent(const std::string& message);
Event stoppedEvent();

// Serialises `event` and hands it to `writeLine`. An event that cannot be
// serialised (a key or value that is not valid UTF-8) is dropped without a
// word; nothing is reported in any case. Main thread only.
void emit(const Event& event);

} // namespace olvek
