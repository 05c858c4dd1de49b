#include "transcript_display.h"

#include <cmath>

#include <nlohmann/json.hpp>

namespace olvek::host {
namespace {

constexpr const char* kClearLine = "\r\033[K";

bool isContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

std::string textOf(const nlohmann::json& event, const char* key) {
    auto it = event.find(key);
    return it != event.end() && it->is_string() ? it->get<std::string>() : std::string();
}

} // namespace

std::string fitToColumns(const std::string& text, int columns) {
    if (columns <= 0) return "";
    std::size_t characters = 0;
    for (char c : text) characters += isContinuationByte(c) ? 0 : 1;
    if (characters <= static_cast<std::size_t>(columns)) return text;
    // Keep the newest words: the end of a partial is what is changing.
    std::size_t keep = static_cast<std::size_t>(columns) - 1, seen = 0, start = text.size();
    while (start > 0 && seen < keep) {
        --start;
        if (!isContinuationByte(text[start])) ++seen;
    }
    return "\u2026" + text.substr(start);
}

TranscriptDisplay::TranscriptDisplay(std::FILE* out, std::FILE* err, DisplayOptions options)
    : out_(out), err_(err), options_(options) {}

void TranscriptDisplay::onLine(const std::string& line) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (finished_) return;
    if (options_.mode == OutputMode::Json) {
        clearStatusLocked();
        std::fputs(line.c_str(), out_);
        std::fputc('\n', out_);
        std::fflush(out_);
        drawStatusLocked();
        return;
    }
    auto event = nlohmann::json::parse(line, nullptr, false);
    if (!event.is_object()) return;
    std::string type = textOf(event, "type");
    if (type == "partial") {
        partial_ = textOf(event, "text");
        if (options_.mode == OutputMode::Live) {
            clearStatusLocked();
            drawStatusLocked();
        }
    } else if (type == "final") {
        std::string text = textOf(event, "text");
        partial_.clear();
        clearStatusLocked();
        if (!text.empty()) {
            std::fputs(text.c_str(), out_);
            std::fputc('\n', out_);
            std::fflush(out_);
            transcript_ += (transcript_.empty() ? "" : " ") + text;
        }
        drawStatusLocked();
    } else if (type == "ready") {
        ready_ = true;
    } else if (type == "error" && ready_) {
        // Before "ready" an error is the start-up failure, which the caller
        // reports with its own message and exit code.
        clearStatusLocked();
        std::fprintf(err_, "olvek-transcribe: recognition error: %s\n", textOf(event, "message").c_str());
        std::fflush(err_);
        drawStatusLocked();
    }
}

void TranscriptDisplay::onProgress(double sentSeconds, double totalSeconds) {
    if (!options_.progress) return;
    std::lock_guard<std::mutex> guard(mutex_);
    if (finished_) return;
    int percent = totalSeconds > 0 ? static_cast<int>(std::lround(100.0 * sentSeconds / totalSeconds)) : 0;
    if (percent > 100) percent = 100;
    char text[64];
    std::snprintf(text, sizeof text, "[%3d%% %.0f/%.0f s] ", percent, sentSeconds, totalSeconds);
    if (progress_ == text) return;
    progress_ = text;
    clearStatusLocked();
    drawStatusLocked();
}

void TranscriptDisplay::finish() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (finished_) return;
    clearStatusLocked();
    finished_ = true;
    // The helper gives its last segment a bounded time to finish; when that
    // runs out, the last partial is the best text there is, and dropping it
    // would lose the end of what was said.
    if (options_.mode != OutputMode::Json && !partial_.empty()) {
        std::fputs(partial_.c_str(), out_);
        std::fputc('\n', out_);
        std::fflush(out_);
        transcript_ += (transcript_.empty() ? "" : " ") + partial_;
        partial_.clear();
    }
}

std::string TranscriptDisplay::transcript() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return transcript_;
}

void TranscriptDisplay::clearStatusLocked() {
    if (!statusShown_) return;
    std::fputs(kClearLine, statusStream());
    std::fflush(statusStream());
    statusShown_ = false;
}

void TranscriptDisplay::drawStatusLocked() {
    std::string prefix = options_.progress ? progress_ : "";
    std::string partial = options_.mode == OutputMode::Live ? partial_ : "";
    if (prefix.empty() && partial.empty()) return;
    // One column is left free: a line that fills the last column makes some
    // terminals wrap before the cursor returns.
    int room = options_.columns - 1 - static_cast<int>(prefix.size());
    // Progress is diagnostics and goes to `err`, the partial is transcript and
    // goes to `out`; on a terminal both land on the same line, in this order.
    if (!prefix.empty()) {
        std::fputs(prefix.c_str(), err_);
        std::fflush(err_);
    }
    if (!partial.empty()) {
        std::fputs(fitToColumns(partial, room).c_str(), out_);
        std::fflush(out_);
    }
    statusShown_ = true;
}

} // namespace olvek::host
