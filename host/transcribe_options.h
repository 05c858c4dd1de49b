// The command line of olvek-transcribe.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace olvek::host {

// Exit codes of olvek-transcribe, one per way a run can end.
enum TranscribeExit : int {
    kExitTranscribed = 0,
    kExitHelperFailed = 1,    // the helper crashed, hung, or broke the protocol
    kExitUsage = 2,           // bad command line
    kExitUnreadableInput = 3, // the audio file cannot be read
    kExitHelperMissing = 4,   // no helper executable at the path
    kExitNoRecognizer = 5,    // the helper has no recognizer for the language
    kExitNotAuthorized = 6,   // speech recognition is not permitted
    kExitLaunchRejected = 7,  // the helper refused its launch or could not connect back
    kExitHostFailure = 8,     // no random token or no loopback socket here
    kExitOutputFailed = 9,    // the transcript could not be written (full disk, closed pipe)
};

// Audio per line sent to the helper, in milliseconds. The helper can give a
// final only between lines, and after the end of the audio it has 3 s for the
// last one: a line longer than a second could not be decoded well inside that.
inline constexpr int kMinChunkMs = 10;
inline constexpr int kMaxChunkMs = 1000;
inline constexpr int kDefaultChunkMs = 100;

// How the transcript is written.
enum class OutputFormat {
    Text, // the final sentences, one per line
    Json, // every event from the helper, one per line
    Srt,  // SubRip subtitles: a numbered cue per final
    Vtt,  // WebVTT subtitles
};

struct TranscribeOptions {
    std::vector<std::string> inputs; // sound files, or "-" for raw PCM on standard input
    bool mic = false;                // record from the sound server's default input
    std::string language = "en";
    std::string helperPath;          // empty: the helper installed beside this program
    OutputFormat format = OutputFormat::Text;
    bool timestamps = false;         // text lines start with their times; JSON events carry them
    std::string outputDir;           // empty: standard output; else one file per input there
    bool realtime = false;
    int chunkMs = kDefaultChunkMs;   // kMinChunkMs to kMaxChunkMs
    bool verbose = false;            // the helper's own output goes to standard error
    bool help = false;
    bool version = false;
    bool listLanguages = false;
};

struct ParsedCommandLine {
    std::optional<TranscribeOptions> options; // nothing on a usage error
    std::string error;                        // then: what is wrong
};

// Parses `arguments` (without the program name). Returns the options, or no
// options and an error that says what is wrong.
ParsedCommandLine parseTranscribeCommandLine(const std::vector<std::string>& arguments);

// Whether the run needs the times of the words from the helper (its
// "--olvek-timings" launch flag): subtitles and --timestamps do.
bool needsTimings(const TranscribeOptions& options);

// The name of `format` as --format takes it ("text", "json", "srt", "vtt"),
// which is also the extension of the files --output-dir gets ("txt" for text).
std::string formatName(OutputFormat format);
std::string formatExtension(OutputFormat format);

// Returns the text printed by --help.
std::string transcribeUsage();

} // namespace olvek::host
