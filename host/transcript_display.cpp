#include "transcript_display.h"

#include <cerrno>
#include <cmath>

#include <nlohmann/json.hpp>

namespace olvek::host {
namespace {

// Back to the first column, then erase from there to the end of the screen:
// every row the status line covers, however the terminal has wrapped it.
constexpr const char* kClearStatus = "\r\033[J";

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

TranscriptDisplay::TranscriptDisplay(std::FILE* out, std::FILE* err, TranscriptFormatter formatter,
                                     DisplayOptions options)
    : out_(out), err_(err), formatter_(std::move(formatter)), options_(std::move(options)) {}

void TranscriptDisplay::onOutputFailed(std::function<void(int error)> callback) {
    std::lock_guard<std::mutex> guard(mutex_);
    outputFailed_ = std::move(callback);
}

void TranscriptDisplay::begin() {
    std::lock_guard<std::mutex> guard(mutex_);
    writeOutLocked(formatter_.begin());
}

void TranscriptDisplay::onLine(const std::string& line) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (finished_) return;
    std::string text = formatter_.onEvent(line);
    if (!text.empty()) {
        clearStatusLocked();
        writeOutLocked(text);
    }
    auto event = nlohmann::json::parse(line, nullptr, false);
    std::string type = event.is_object() ? textOf(event, "type") : "";
    if (type == "partial") {
        partial_ = textOf(event, "text");
        clearStatusLocked();
    } else if (type == "final") {
        partial_.clear();
        clearStatusLocked();
    } else if (type == "ready") {
        ready_ = true;
    } else if (type == "error" && ready_ && formatter_.format() != OutputFormat::Json) {
        // Before "ready" an error is the start-up failure, which the caller
        // reports with its own message and exit code.
        clearStatusLocked();
        std::fprintf(err_, "olvek-transcribe: recognition error: %s\n", textOf(event, "message").c_str());
        std::fflush(err_);
    }
    drawStatusLocked();
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
    writeOutLocked(formatter_.finish());
}

std::string TranscriptDisplay::transcript() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return formatter_.transcript();
}

int TranscriptDisplay::untimedFinals() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return formatter_.untimedFinals();
}

int TranscriptDisplay::outputError() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return outputError_;
}

void TranscriptDisplay::writeOutLocked(const std::string& text) {
    if (text.empty() || outputError_ != 0) return;
    errno = 0;
    // Flushed at once: a reader of the pipe gets each line as it is made,
    // and a failure is known while the run can still stop.
    if (std::fputs(text.c_str(), out_) < 0 || std::fflush(out_) != 0) {
        outputError_ = errno != 0 ? errno : EIO;
        if (outputFailed_) outputFailed_(outputError_);
    }
}

void TranscriptDisplay::clearStatusLocked() {
    if (!statusShown_) return;
    std::fputs(kClearStatus, err_);
    std::fflush(err_);
    statusShown_ = false;
}

void TranscriptDisplay::drawStatusLocked() {
    if (!options_.statusLine || finished_ || statusShown_) return;
    std::string prefix = options_.progress ? progress_ : "";
    std::string partial = options_.showPartial ? partial_ : "";
    if (prefix.empty() && partial.empty()) return;
    // One column is left free: a line that fills the last column makes some
    // terminals wrap before the cursor returns.
    int room = options_.columns() - 1 - static_cast<int>(prefix.size());
    std::string line = room > 0 ? prefix + fitToColumns(partial, room) : fitToColumns(prefix, options_.columns() - 1);
    // Parked at the first column: a narrower terminal that wraps the line
    // keeps the cursor at its start, so the next clear takes every row.
    std::fputs((line + "\r").c_str(), err_);
    std::fflush(err_);
    statusShown_ = true;
}

} // namespace olvek::host
