// What a person sees of the helper's events: the live partial rewritten in
// place on a terminal, the finals one per line, or every event as received.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

namespace olvek::host {

enum class OutputMode {
    Live,       // a terminal: the partial on one line rewritten in place, finals on their own lines
    FinalsOnly, // a file or pipe: each non-empty final on its own line (the partials are not shown)
    Json,       // every event line exactly as received
};

struct DisplayOptions {
    OutputMode mode = OutputMode::FinalsOnly;
    // Show how much audio has been sent, on the status line.
    bool progress = false;
    // Width of the terminal that holds the status line; longer texts are
    // cut from the front so the line never wraps (wrapping would break the
    // rewriting in place).
    int columns = 80;
};

// Writes transcripts to `out` and diagnostics to `err`. The status line is
// the progress (written to `err`) followed, in Live mode, by the partial
// (written to `out`): both streams are then expected to be the same terminal,
// and the line is cleared through `out`; otherwise it is all on `err`. Every
// call may come from any thread; calls are serialised.
class TranscriptDisplay {
public:
    TranscriptDisplay(std::FILE* out, std::FILE* err, DisplayOptions options);

    // One line from the helper.
    void onLine(const std::string& line);
    // `sentSeconds` of `totalSeconds` of audio handed to the helper.
    void onProgress(double sentSeconds, double totalSeconds);
    // Clears the status line; nothing else is drawn afterwards. A partial
    // that no final followed (the helper ran out of time finishing) is
    // written as the last line, except in Json mode.
    void finish();

    // Finals shown so far, joined by a blank (for the caller's summary).
    std::string transcript() const;

private:
    void clearStatusLocked();
    void drawStatusLocked();
    std::FILE* statusStream() const { return options_.mode == OutputMode::Live ? out_ : err_; }

    std::FILE* out_;
    std::FILE* err_;
    DisplayOptions options_;
    mutable std::mutex mutex_;
    std::string partial_;
    std::string progress_;
    bool statusShown_ = false;
    bool finished_ = false;
    bool ready_ = false;
    std::string transcript_;
};

// The last `columns` characters of `text` (UTF-8 aware), with a leading
// ellipsis when something was cut.
std::string fitToColumns(const std::string& text, int columns);

} // namespace olvek::host
