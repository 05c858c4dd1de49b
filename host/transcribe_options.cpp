#include "transcribe_options.h"

#include <charconv>

namespace olvek::host {

ParsedCommandLine parseTranscribeCommandLine(const std::vector<std::string>& arguments) {
    TranscribeOptions options;
    std::vector<std::string> inputs;
    bool optionsEnded = false;
    auto fail = [](std::string error) { return ParsedCommandLine{std::nullopt, std::move(error)}; };

    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (optionsEnded || argument == "-" || argument.empty() || argument[0] != '-') {
            inputs.push_back(argument);
            continue;
        }
        std::string name = argument, value;
        bool inlineValue = false;
        if (auto equals = argument.find('='); argument.rfind("--", 0) == 0 && equals != std::string::npos) {
            name = argument.substr(0, equals);
            value = argument.substr(equals + 1);
            inlineValue = true;
        }
        auto takeValue = [&]() -> bool {
            if (inlineValue) return true;
            if (i + 1 >= arguments.size()) return false;
            value = arguments[++i];
            return true;
        };
        if (name == "--") {
            optionsEnded = true;
        } else if (name == "--help" || name == "-h") {
            options.help = true;
        } else if (name == "--version") {
            options.version = true;
        } else if (name == "--json") {
            options.json = true;
        } else if (name == "--mic") {
            options.mic = true;
        } else if (name == "--realtime") {
            options.realtime = true;
        } else if (name == "--verbose" || name == "-v") {
            options.verbose = true;
        } else if (name == "--lang" || name == "--helper" || name == "--chunk-ms") {
            if (!takeValue()) return fail(name + " needs a value");
            if (name == "--lang") {
                // The helper takes any word that does not start with "--" as
                // its language; anything else would be misread as an option.
                if (value.rfind("--", 0) == 0) return fail("--lang needs a language name, such as en");
                options.language = value;
            } else if (name == "--helper") {
                if (value.empty()) return fail("--helper needs a path");
                options.helperPath = value;
            } else {
                int ms = 0;
                auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), ms);
                const bool number = end == value.data() + value.size() &&
                                    (ec == std::errc() || ec == std::errc::result_out_of_range);
                const bool huge = ec == std::errc::result_out_of_range && value[0] != '-';
                if (number && (huge || (ec == std::errc() && ms > kMaxChunkMs))) {
                    return fail("--chunk-ms " + value + " is too long: at most " + std::to_string(kMaxChunkMs) +
                                " ms of audio per line, so that the helper decodes any line well inside the 3 s "
                                "it has after the end of the audio (a final can only come between lines)");
                }
                if (!number || ms < kMinChunkMs) {
                    return fail("--chunk-ms needs a whole number of milliseconds from " + std::to_string(kMinChunkMs) +
                                " to " + std::to_string(kMaxChunkMs));
                }
                options.chunkMs = ms;
            }
        } else {
            return fail("unknown option " + argument);
        }
    }
    if (options.help || options.version) return {options, ""};
    if (options.mic) {
        if (!inputs.empty()) return fail("--mic records from the microphone: give no file or - with it");
        return {options, ""};
    }
    if (inputs.empty()) return fail("no input: give a sound file, or - for raw PCM on standard input");
    if (inputs.size() > 1) return fail("one input at a time (got " + std::to_string(inputs.size()) + ")");
    options.input = inputs[0];
    return {options, ""};
}

std::string transcribeUsage() {
    return R"(Usage: olvek-transcribe [OPTIONS] FILE
       olvek-transcribe [OPTIONS] -
       olvek-transcribe [OPTIONS] --mic

Transcribes speech with the Olvek speech helper. FILE is any sound file that
libsndfile reads (WAV, FLAC, Ogg, MP3, ...), at any sample rate and channel
count. "-" reads raw 16 kHz mono 16-bit little-endian PCM from standard input:
  arecord -q -f S16_LE -r 16000 -c 1 -t raw | olvek-transcribe -
--mic records from the default input of the sound server (PulseAudio, or
PipeWire's PulseAudio service) until Ctrl-C.
The first Ctrl-C (or SIGTERM) stops sending at once, ends the audio and waits
for the last words; a second one stops the helper and quits at once.

On a terminal the words appear as they are recognized; piped, only the final
sentences are written, one per line.

Options:
  --lang LANG     language for the helper (default: en)
  --helper PATH   the helper executable (default: the one installed beside
                  olvek-transcribe)
  --mic           dictate: record from the default input until Ctrl-C
  --json          write every event from the helper as received, one per line
  --realtime      send audio at the speed of speech, as a microphone would
                  (default: as fast as the helper takes it)
  --chunk-ms N    milliseconds of audio per line sent, 10 to 1000 (default:
                  100); the helper can give a final only between lines and
                  has 3 s after the end of the audio, so a line must stay
                  short enough to decode well inside that
  --verbose       show the helper's own diagnostics on standard error
  --help          show this text
  --version       show the version

Exit status:
  0 transcribed          1 the helper failed      2 bad command line
  3 unreadable input     4 helper not found       5 language not available
  6 not authorized       7 helper launch refused  8 no socket or token here
(3 also when --mic finds no sound server or no input to record from.)
After the first Ctrl-C the run ends with one of these (0 once the last words
came); after a second, olvek-transcribe dies of that signal, as a shell shows
with 130 for Ctrl-C and 143 for SIGTERM.
)";
}

} // namespace olvek::host
