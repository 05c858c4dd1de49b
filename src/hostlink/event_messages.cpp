#include "event_messages.h"

#include <algorithm>
#include <cstdio>

#include "hostlink/line_transport.h"

namespace olvek {

Event helloEvent(const std::string& token) { return {{"type", "hello"}, {"token", token}}; }

Event readyEvent(const std::string& localeId) { return {{"type", "ready"}, {"locale", localeId}}; }

Event transcriptEvent(bool isFinal, const std::string& text, const std::string& localeId) {
    return {{"type", isFinal ? "final" : "partial"}, {"text", text}, {"language", localeId}};
}

std::string threeDecimals(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", std::max(seconds, 0.0));
    return text;
}

Event transcriptEvent(bool isFinal, const std::string& text, const std::string& localeId,
                      const TranscriptTimes& times) {
    Event event = transcriptEvent(isFinal, text, localeId);
    event.emplace_back("start", threeDecimals(times.start));
    event.emplace_back("end", threeDecimals(times.end));
    if (!isFinal) return event;
    std::vector<TextObject> words;
    words.reserve(times.words.size());
    for (const TimedWord& word : times.words) {
        // Text, as every other value of the protocol.
        words.push_back({{"word", word.word},
                         {"start", threeDecimals(word.start)},
                         {"end", threeDecimals(word.end)},
                         {"confidence", threeDecimals(std::clamp(word.confidence, 0.0, 1.0))}});
    }
    event.emplace_back("words", std::move(words));
    return event;
}

Event errorEvent(const std::string& message) { return {{"type", "error"}, {"message", message}}; }

Event stoppedEvent() { return {{"type", "stopped"}}; }

void emit(const Event& event) {
    std::optional<std::string> line = serializeJsonObject(event);
    if (!line) return;
    writeLine(*line);
}

} // namespace olvek
