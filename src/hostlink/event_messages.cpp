#include "event_messages.h"

#include "hostlink/line_transport.h"

namespace olvek {

Event helloEvent(const std::string& token) { return {{"type", "hello"}, {"token", token}}; }

Event readyEvent(const std::string& localeId) { return {{"type", "ready"}, {"locale", localeId}}; }

Event transcriptEvent(bool isFinal, const std::string& text, const std::string& localeId) {
    return {{"type", isFinal ? "final" : "partial"}, {"text", text}, {"language", localeId}};
}

Event errorEvent(const std::string& message) { return {{"type", "error"}, {"message", message}}; }

Event stoppedEvent() { return {{"type", "stopped"}}; }

void emit(const Event& event) {
    std::optional<std::string> line = serializeJsonObject(event);
    if (!line) return;
    writeLine(*line);
}

} // namespace olvek
