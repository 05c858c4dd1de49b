#include "subtitle_reader.h"

#include <regex>
#include <sstream>

namespace olvek::testing {
namespace {

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// "HH:MM:SS<sep>mmm --> HH:MM:SS<sep>mmm"; false when the line is not that.
bool parseTiming(const std::string& line, char separator, Cue& cue) {
    const std::string s = separator == ',' ? "," : "\\.";
    const std::regex timing("(\\d{2,}):([0-5]\\d):([0-5]\\d)" + s + "(\\d{3}) --> (\\d{2,}):([0-5]\\d):([0-5]\\d)" +
                            s + "(\\d{3})");
    std::smatch m;
    if (!std::regex_match(line, m, timing)) return false;
    auto at = [&m](int first) {
        return std::stoi(m[first]) * 3600.0 + std::stoi(m[first + 1]) * 60.0 + std::stoi(m[first + 2]) +
               std::stoi(m[first + 3]) / 1000.0;
    };
    cue.start = at(1);
    cue.end = at(5);
    return true;
}

ParsedSubtitles parseCues(const std::vector<std::string>& lines, std::size_t from, bool srt) {
    ParsedSubtitles parsed;
    std::size_t i = from;
    auto fail = [&parsed, &i](const std::string& why) {
        parsed.error = "line " + std::to_string(i + 1) + ": " + why;
        return parsed;
    };
    while (i < lines.size()) {
        Cue cue;
        if (srt) {
            if (lines[i] != std::to_string(parsed.cues.size() + 1)) return fail("expected cue number " +
                                                                                std::to_string(parsed.cues.size() + 1));
            cue.number = static_cast<int>(parsed.cues.size() + 1);
            ++i;
        } else if (i < lines.size() && lines[i].find("-->") == std::string::npos) {
            ++i; // an identifier
        }
        if (i >= lines.size() || !parseTiming(lines[i], srt ? ',' : '.', cue)) return fail("expected a timing line");
        if (cue.end < cue.start) return fail("a cue that ends before it starts");
        ++i;
        while (i < lines.size() && !lines[i].empty()) {
            cue.text += (cue.text.empty() ? "" : "\n") + lines[i];
            ++i;
        }
        if (cue.text.empty()) return fail("a cue without text");
        if (i >= lines.size()) return fail("the last cue is not followed by a blank line");
        ++i;
        parsed.cues.push_back(cue);
    }
    return parsed;
}

} // namespace

ParsedSubtitles parseSrt(const std::string& text) { return parseCues(linesOf(text), 0, true); }

ParsedSubtitles parseVtt(const std::string& text) {
    auto lines = linesOf(text);
    if (lines.empty() || lines[0] != "WEBVTT") return {{}, "line 1: expected WEBVTT"};
    if (lines.size() < 2 || !lines[1].empty()) return {{}, "line 2: expected a blank line after WEBVTT"};
    return parseCues(lines, 2, false);
}

} // namespace olvek::testing
