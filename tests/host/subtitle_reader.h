// A small reader of SubRip and WebVTT files, strict about what the formats
// require, so tests can check olvek-transcribe's subtitles by parsing them
// back instead of comparing bytes.
#pragma once

#include <string>
#include <vector>

namespace olvek::testing {

struct Cue {
    int number = 0; // SubRip only
    double start = 0, end = 0;
    std::string text; // lines joined by "\n"
};

struct ParsedSubtitles {
    std::vector<Cue> cues;
    std::string error; // empty when the whole file follows the format
};

// SubRip: cues numbered 1, 2, 3... each "N", "HH:MM:SS,mmm --> HH:MM:SS,mmm",
// one or more text lines, and a blank line.
ParsedSubtitles parseSrt(const std::string& text);
// WebVTT: "WEBVTT" on the first line, a blank line, then cues of an optional
// identifier, "HH:MM:SS.mmm --> HH:MM:SS.mmm", text lines and a blank line.
ParsedSubtitles parseVtt(const std::string& text);

} // namespace olvek::testing
