// What a person sees of the helper's events: the transcript written to
// standard output in the chosen format, and on a terminal a live status line
// (the progress and the current partial) on standard error.
#pragma once

#include <cstdio>
#include <functional>
#include <mutex>
#include <string>

#include "host/transcript_format.h"

namespace olvek::host {

struct DisplayOptions {
    // Draw the status line on `err`, which must then be a terminal. Only
    // where it cannot end up glued to transcript lines: standard output is
    // that same terminal (written in order by this display) or a file, never
    // a pipe that may be shown on the terminal later.
    bool statusLine = false;
    // The status line shows the partial (the words being recognized).
    bool showPartial = false;
    // The status line shows how much audio has been sent.
    bool progress = false;
    // Width of the terminal, asked at every draw so that a resize is followed;
    // longer status texts are cut from the front so the line never wraps.
    std::function<int()> columns = [] { return 80; };
};

// Writes the transcript to `out` through `formatter`, and diagnostics to
// `err`. The status line is parked with the cursor at its first column and
// cleared with "erase to the end of the screen", so that it leaves no stale
// rows even when a narrower terminal has wrapped it. A recognition error is
// told on `err`, except in JSON, whose output carries the "error" event
// itself. Every call may come from any thread; calls are serialised.
class TranscriptDisplay {
public:
    // A recognition error is told on `err`, except in JSON, whose output
    // carries the "error" event itself.
    TranscriptDisplay(std::FILE* out, std::FILE* err, TranscriptFormatter formatter, DisplayOptions options);

    // Called once, from the thread whose write failed, when `out` cannot be
    // written (a full disk, a closed pipe); nothing is written to it after.
    void onOutputFailed(std::function<void(int error)> callback);

    // Writes what comes before the transcript (the WebVTT header).
    void begin();
    // One line from the helper.
    void onLine(const std::string& line);
    // `sentSeconds` of `totalSeconds` of audio handed to the helper.
    void onProgress(double sentSeconds, double totalSeconds);
    // Clears the status line; nothing else is drawn afterwards. A partial
    // that no final followed is written as the last line (see
    // TranscriptFormatter::finish).
    void finish();

    // Finals written so far, joined by a blank.
    std::string transcript() const;
    // Finals whose times were missing although the format needs them.
    int untimedFinals() const;
    // The errno of the failed write to `out`, or 0.
    int outputError() const;

private:
    void writeOutLocked(const std::string& text);
    void clearStatusLocked();
    void drawStatusLocked();

    std::FILE* out_;
    std::FILE* err_;
    TranscriptFormatter formatter_;
    DisplayOptions options_;
    std::function<void(int)> outputFailed_;
    mutable std::mutex mutex_;
    std::string partial_;
    std::string progress_;
    bool statusShown_ = false;
    bool finished_ = false;
    bool ready_ = false;
    int outputError_ = 0;
};

// The last `columns` characters of `text` (UTF-8 aware), with a leading
// ellipsis when something was cut.
std::string fitToColumns(const std::string& text, int columns);

} // namespace olvek::host
