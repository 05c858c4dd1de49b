#include "transcript_format.h"

#include <cmath>
#include <cstdio>

#include <nlohmann/json.hpp>

namespace olvek::host {
namespace {

std::string stringMember(const nlohmann::json& object, const char* key) {
    auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::optional<double> timeMember(const nlohmann::json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return std::nullopt;
    return parseSeconds(it->get<std::string>());
}

std::string typeOf(const nlohmann::json& event) { return event.is_object() ? stringMember(event, "type") : ""; }

// WebVTT cue text is markup: "<" and "&" would start tags and entities.
std::string escapeVtt(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '&') out += "&amp;";
        else if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else out += c;
    }
    return out;
}

} // namespace

std::string formatClock(double seconds, char separator) {
    long long ms = std::isfinite(seconds) && seconds > 0 ? std::llround(seconds * 1000) : 0;
    char text[48];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld%c%03lld", ms / 3'600'000, ms / 60'000 % 60,
                  ms / 1000 % 60, separator, ms % 1000);
    return text;
}

std::optional<double> parseSeconds(const std::string& text) {
    // Digits, optionally a point and more digits: nothing strtod would
    // also take ("inf", "1e3", " 1", "-0").
    std::size_t digits = 0, points = 0;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            ++digits;
        } else if (c == '.' && points == 0 && digits > 0) {
            ++points;
        } else {
            return std::nullopt;
        }
    }
    if (digits == 0 || text.back() == '.') return std::nullopt;
    return std::strtod(text.c_str(), nullptr);
}

TimedText timedTextOf(const std::string& eventLine) {
    TimedText timed;
    auto event = nlohmann::json::parse(eventLine, nullptr, false);
    if (!event.is_object()) return timed;
    timed.text = stringMember(event, "text");
    timed.start = timeMember(event, "start");
    timed.end = timeMember(event, "end");
    auto words = event.find("words");
    if (words == event.end() || !words->is_array()) return timed;
    for (const auto& entry : *words) {
        if (!entry.is_object()) return TimedText{timed.text, timed.start, timed.end, {}};
        auto start = timeMember(entry, "start"), end = timeMember(entry, "end");
        std::string word = stringMember(entry, "word");
        if (!start || !end || word.empty()) return TimedText{timed.text, timed.start, timed.end, {}};
        timed.words.push_back({word, *start, *end});
    }
    return timed;
}

std::vector<TimedText> splitIntoCues(const TimedText& text) {
    if (text.text.size() <= kMaxCueCharacters || text.words.empty()) return {text};
    std::vector<TimedText> cues;
    TimedText cue;
    for (const auto& word : text.words) {
        if (!cue.text.empty() && cue.text.size() + 1 + word.word.size() > kMaxCueCharacters) {
            cues.push_back(cue);
            cue = TimedText{};
        }
        if (cue.text.empty()) cue.start = word.start;
        cue.text += (cue.text.empty() ? "" : " ") + word.word;
        cue.end = word.end;
        cue.words.push_back(word);
    }
    if (!cue.text.empty()) cues.push_back(cue);
    return cues;
}

TranscriptFormatter::TranscriptFormatter(OutputFormat format, bool timestamps, std::string fileLabel)
    : format_(format), timestamps_(timestamps), fileLabel_(std::move(fileLabel)) {}

std::string TranscriptFormatter::begin() const { return format_ == OutputFormat::Vtt ? "WEBVTT\n\n" : ""; }

std::string TranscriptFormatter::onEvent(const std::string& line) {
    if (finished_) return "";
    auto event = nlohmann::json::parse(line, nullptr, false);
    const std::string type = typeOf(event);
    if (format_ == OutputFormat::Json) {
        std::string out = line;
        if (type == "hello" && event.contains("token")) {
            event.erase("token");
            out = event.dump();
        }
        // The label goes first, the rest stays byte for byte as received.
        if (!fileLabel_.empty() && event.is_object() && out.size() >= 2 && out[0] == '{') {
            out = "{\"file\":" + nlohmann::json(fileLabel_).dump() + (out == "{}" ? "" : ",") + out.substr(1);
        }
        return out + "\n";
    }
    if (type == "partial") {
        lastPartial_ = line;
        return "";
    }
    if (type != "final") return "";
    lastPartial_.clear();
    return render(timedTextOf(line));
}

std::string TranscriptFormatter::finish() {
    if (finished_) return "";
    finished_ = true;
    if (format_ == OutputFormat::Json || lastPartial_.empty()) return "";
    return render(timedTextOf(lastPartial_));
}

std::string TranscriptFormatter::render(const TimedText& text) {
    if (text.text.empty()) return "";
    transcript_ += (transcript_.empty() ? "" : " ") + text.text;
    const bool timed = text.start && text.end;
    if (format_ == OutputFormat::Text) {
        if (!timestamps_) return text.text + "\n";
        if (!timed) {
            ++untimed_;
            return text.text + "\n";
        }
        return "[" + formatClock(*text.start, '.') + " --> " + formatClock(*text.end, '.') + "] " + text.text + "\n";
    }
    if (!timed) {
        // A cue cannot be placed without times; the caller reports them.
        ++untimed_;
        return "";
    }
    const char separator = format_ == OutputFormat::Srt ? ',' : '.';
    std::string out;
    for (const auto& cue : splitIntoCues(text)) {
        if (format_ == OutputFormat::Srt) out += std::to_string(++cues_) + "\n";
        out += formatClock(*cue.start, separator) + " --> " + formatClock(*cue.end, separator) + "\n";
        out += (format_ == OutputFormat::Vtt ? escapeVtt(cue.text) : cue.text) + "\n\n";
    }
    return out;
}

} // namespace olvek::host
