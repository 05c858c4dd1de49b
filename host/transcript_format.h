// The transcript as olvek-transcribe writes it: plain text (optionally with
// times), the helper's events as JSON lines, or SubRip / WebVTT subtitles.
// Pure text in, text out; where it goes is the caller's business.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "host/transcribe_options.h"

namespace olvek::host {

// "HH:MM:SS,mmm" (SubRip, `separator` ',') or "HH:MM:SS.mmm" (WebVTT and
// --timestamps, '.'), rounded to the millisecond; negative times give zero.
// Hours go past 99 rather than wrap.
std::string formatClock(double seconds, char separator);

// The helper's time text: seconds as a plain decimal number ("12.340").
// Nothing for anything else (empty, signs, exponents, trailing bytes).
std::optional<double> parseSeconds(const std::string& text);

// A word of a "final" as the helper times it.
struct TimedWord {
    std::string word;
    double start = 0;
    double end = 0;
};

// A piece of transcript and, when the helper sent them, where it lies.
struct TimedText {
    std::string text;
    std::optional<double> start, end;
    std::vector<TimedWord> words; // empty unless the helper sent them all well-formed
};

// Reads "text", "start", "end" and "words" of a partial or final event.
// Times that are missing or malformed are left out.
TimedText timedTextOf(const std::string& eventLine);

// Subtitle cues longer than this many characters are split between words
// (when the words' times are known), so that a cue fits two caption lines.
inline constexpr std::size_t kMaxCueCharacters = 84;

// Splits `text` into cues of at most kMaxCueCharacters where the words allow;
// one cue (the whole text) when it is short, or its words are not known.
std::vector<TimedText> splitIntoCues(const TimedText& text);

// Turns the helper's event lines of one input into the output of one format.
// Each call returns the text to write (possibly empty). Not thread-safe.
class TranscriptFormatter {
public:
    // `fileLabel`: when not empty, JSON events also carry it as "file" (so
    // that the events of several inputs in one stream can be told apart).
    TranscriptFormatter(OutputFormat format, bool timestamps, std::string fileLabel = {});

    // What comes before the first cue ("WEBVTT" and a blank line for WebVTT).
    std::string begin() const;
    // One line from the helper. In JSON every line is passed on as received,
    // except that "hello" loses its "token" (a secret of this run); in the
    // other formats each non-empty final gives its line or cues.
    std::string onEvent(const std::string& line);
    // The end of the input: a partial that no final followed (the helper ran
    // out of time finishing) is the best text there is, and is written as a
    // last line or cue, except in JSON.
    std::string finish();

    OutputFormat format() const { return format_; }
    // Finals written so far, joined by a blank.
    const std::string& transcript() const { return transcript_; }
    // Finals that had text but no times although the format needs them.
    int untimedFinals() const { return untimed_; }

private:
    std::string render(const TimedText& text);

    OutputFormat format_;
    bool timestamps_;
    std::string fileLabel_;
    int cues_ = 0;
    int untimed_ = 0;
    bool finished_ = false;
    std::string lastPartial_;
    std::string transcript_;
};

} // namespace olvek::host
