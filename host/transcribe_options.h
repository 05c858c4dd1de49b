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
};

// Audio per line sent to the helper, in milliseconds. The helper can give a
// final only between lines, and after the end of the audio it has 3 s for the
// last one: a line longer than a second could not be decoded well inside that.
inline constexpr int kMinChunkMs = 10;
inline constexpr int kMaxChunkMs = 1000;
inline constexpr int kDefaultChunkMs = 100;

struct TranscribeOptions {
    std::string input;          // a sound file, or "-" for raw PCM on standard input; empty with `mic`
    bool mic = false;           // record from the sound server's default input
    std::string language = "en";
    std::string helperPath;     // empty: the helper installed beside this program
    bool json = false;
    bool realtime = false;
    int chunkMs = kDefaultChunkMs; // kMinChunkMs to kMaxChunkMs
    bool verbose = false;       // the helper's own output goes to standard error
    bool help = false;
    bool version = false;
};

struct ParsedCommandLine {
    std::optional<TranscribeOptions> options; // nothing on a usage error
    std::string error;                        // then: what is wrong
};

// Parses `arguments` (without the program name). Returns the options, or no
// options and an error that says what is wrong.
ParsedCommandLine parseTranscribeCommandLine(const std::vector<std::string>& arguments);

// Returns the text printed by --help.
std::string transcribeUsage();

} // namespace olvek::host
