#include "transcribe_options.h"

#include <algorithm>
#include <charconv>
#include <functional>

namespace olvek::host {
namespace {

std::optional<std::string> parseChunkMs(const std::string& value, int& chunkMs) {
    int ms = 0;
    auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), ms);
    const bool number = end == value.data() + value.size() && (ec == std::errc() || ec == std::errc::result_out_of_range);
    const bool huge = ec == std::errc::result_out_of_range && value[0] != '-';
    if (number && (huge || (ec == std::errc() && ms > kMaxChunkMs))) {
        return "--chunk-ms " + value + " is too long: at most " + std::to_string(kMaxChunkMs) +
               " ms of audio per line, so that the helper decodes any line well inside the 3 s "
               "it has after the end of the audio (a final can only come between lines)";
    }
    if (!number || ms < kMinChunkMs) {
        return "--chunk-ms needs a whole number of milliseconds from " + std::to_string(kMinChunkMs) + " to " +
               std::to_string(kMaxChunkMs);
    }
    chunkMs = ms;
    return std::nullopt;
}

// One option: its names, whether it takes a value, and what it does with it.
// `apply` returns an error, or nothing when the value was taken.
struct OptionSpec {
    std::vector<std::string> names;
    bool takesValue;
    std::function<std::optional<std::string>(TranscribeOptions&, const std::string& value)> apply;
};

std::optional<std::string> setFormat(TranscribeOptions& o, OutputFormat format, const std::string& given) {
    // --json stays a spelling of --format json; two different formats are a mistake.
    if (o.format != OutputFormat::Text && o.format != format) {
        return "--format " + formatName(o.format) + " and " + given + " ask for two different formats";
    }
    o.format = format;
    return std::nullopt;
}

const std::vector<OptionSpec>& optionTable() {
    static const std::vector<OptionSpec> table{
        {{"--help", "-h"}, false, [](TranscribeOptions& o, const std::string&) { o.help = true; return std::optional<std::string>(); }},
        {{"--version"}, false, [](TranscribeOptions& o, const std::string&) { o.version = true; return std::optional<std::string>(); }},
        {{"--list-languages"}, false,
         [](TranscribeOptions& o, const std::string&) { o.listLanguages = true; return std::optional<std::string>(); }},
        {{"--json"}, false, [](TranscribeOptions& o, const std::string&) { return setFormat(o, OutputFormat::Json, "--json"); }},
        {{"--timestamps"}, false,
         [](TranscribeOptions& o, const std::string&) { o.timestamps = true; return std::optional<std::string>(); }},
        {{"--mic"}, false, [](TranscribeOptions& o, const std::string&) { o.mic = true; return std::optional<std::string>(); }},
        {{"--realtime"}, false, [](TranscribeOptions& o, const std::string&) { o.realtime = true; return std::optional<std::string>(); }},
        {{"--verbose", "-v"}, false,
         [](TranscribeOptions& o, const std::string&) { o.verbose = true; return std::optional<std::string>(); }},
        {{"--lang"}, true,
         [](TranscribeOptions& o, const std::string& value) -> std::optional<std::string> {
             // The helper takes any word that does not start with "--" as its
             // language; anything else would be misread as an option.
             if (value.empty() || value.rfind("--", 0) == 0) return "--lang needs a language name, such as en";
             o.language = value;
             return std::nullopt;
         }},
        {{"--helper"}, true,
         [](TranscribeOptions& o, const std::string& value) -> std::optional<std::string> {
             if (value.empty()) return "--helper needs a path";
             o.helperPath = value;
             return std::nullopt;
         }},
        {{"--chunk-ms"}, true,
         [](TranscribeOptions& o, const std::string& value) { return parseChunkMs(value, o.chunkMs); }},
        {{"--format"}, true,
         [](TranscribeOptions& o, const std::string& value) -> std::optional<std::string> {
             for (auto format : {OutputFormat::Text, OutputFormat::Json, OutputFormat::Srt, OutputFormat::Vtt}) {
                 if (value == formatName(format)) {
                     if (format == OutputFormat::Text && o.format != OutputFormat::Text) {
                         return "--format text and --format " + formatName(o.format) + " ask for two different formats";
                     }
                     return setFormat(o, format, "--format " + value);
                 }
             }
             return "--format needs one of text, json, srt, vtt (got \"" + value + "\")";
         }},
        {{"--output-dir"}, true,
         [](TranscribeOptions& o, const std::string& value) -> std::optional<std::string> {
             if (value.empty()) return "--output-dir needs a folder";
             o.outputDir = value;
             return std::nullopt;
         }},
    };
    return table;
}

const OptionSpec* findOption(const std::string& name) {
    for (const auto& spec : optionTable()) {
        if (std::find(spec.names.begin(), spec.names.end(), name) != spec.names.end()) return &spec;
    }
    return nullptr;
}

} // namespace

ParsedCommandLine parseTranscribeCommandLine(const std::vector<std::string>& arguments) {
    TranscribeOptions options;
    bool optionsEnded = false;
    auto fail = [](std::string error) { return ParsedCommandLine{std::nullopt, std::move(error)}; };

    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (optionsEnded || argument == "-" || argument.empty() || argument[0] != '-') {
            options.inputs.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        std::string name = argument, value;
        std::optional<std::string> inlineValue;
        if (auto equals = argument.find('='); argument.rfind("--", 0) == 0 && equals != std::string::npos) {
            name = argument.substr(0, equals);
            inlineValue = argument.substr(equals + 1);
        }
        const OptionSpec* spec = findOption(name);
        if (!spec) return fail("unknown option " + argument);
        if (!spec->takesValue && inlineValue) {
            // "--json=false" must not quietly mean "on".
            return fail(name + " takes no value (got " + argument + ")");
        }
        if (spec->takesValue) {
            if (inlineValue) {
                value = *inlineValue;
            } else if (i + 1 < arguments.size()) {
                value = arguments[++i];
            } else {
                return fail(name + " needs a value");
            }
        }
        if (auto error = spec->apply(options, value)) return fail(*error);
    }
    if (options.help || options.version || options.listLanguages) return {options, ""};

    if (options.mic) {
        if (!options.inputs.empty()) return fail("--mic records from the microphone: give no file or - with it");
        if (!options.outputDir.empty()) return fail("--output-dir names files after their inputs; --mic has none");
        // The recording already comes at the pace of speech, and it starts
        // before the helper: pacing it again would never catch up.
        if (options.realtime) return fail("--realtime paces a file as speech; --mic is speech already");
    } else if (options.inputs.empty()) {
        return fail("no input: give sound files, or - for raw PCM on standard input, or --mic");
    }
    if (std::count(options.inputs.begin(), options.inputs.end(), "-") > 1) {
        return fail("- (standard input) can be given only once");
    }
    const bool subtitles = options.format == OutputFormat::Srt || options.format == OutputFormat::Vtt;
    if (options.timestamps && subtitles) {
        return fail("--timestamps is for --format text or json; subtitles always carry their times");
    }
    if (subtitles && options.inputs.size() > 1 && options.outputDir.empty()) {
        return fail("several inputs in --format " + formatName(options.format) +
                    " need --output-dir DIR, which gets one subtitle file per input");
    }
    return {options, ""};
}

bool needsTimings(const TranscribeOptions& options) {
    return options.timestamps || options.format == OutputFormat::Srt || options.format == OutputFormat::Vtt;
}

std::string formatName(OutputFormat format) {
    switch (format) {
    case OutputFormat::Text: return "text";
    case OutputFormat::Json: return "json";
    case OutputFormat::Srt: return "srt";
    case OutputFormat::Vtt: return "vtt";
    }
    return "text";
}

std::string formatExtension(OutputFormat format) {
    return format == OutputFormat::Text ? "txt" : format == OutputFormat::Json ? "jsonl" : formatName(format);
}

std::string transcribeUsage() {
    return R"(Usage: olvek-transcribe [OPTIONS] FILE...
       olvek-transcribe [OPTIONS] -
       olvek-transcribe [OPTIONS] --mic

Transcribes speech with the Olvek speech helper. FILE is any sound file that
libsndfile reads (WAV, FLAC, Ogg, MP3, ...), at any sample rate and channel
count; several files are transcribed one after the other, each under its
name. "-" reads raw 16 kHz mono 16-bit little-endian PCM from standard input:
  arecord -q -f S16_LE -r 16000 -c 1 -t raw | olvek-transcribe -
--mic records from the default input of the sound server (PulseAudio, or
PipeWire's PulseAudio service) until Ctrl-C.
The first Ctrl-C (or SIGTERM) stops sending at once, ends the audio and waits
for the last words; a second one stops the helper and quits at once.

The transcript goes to standard output. When standard error is a terminal, a
live line on it shows the words being recognized and, for files longer than
5 s, the progress; it is left out while standard output is a pipe, which may
be shown on the same terminal (| tee, | cat).

Options:
  --lang LANG     language: en, en-US, en_US, en-us, fr_FR.UTF-8, ... or auto
                  for the current locale (default: en)
  --list-languages  list the languages whose speech models are installed
  --format FORMAT text (default): the final sentences, one per line
                  json: every event from the helper, one per line
                  srt, vtt: SubRip or WebVTT subtitles, a cue per sentence
                  (long ones split between words)
  --json          the same as --format json
  --timestamps    text: start each line with [HH:MM:SS.mmm --> HH:MM:SS.mmm];
                  json: the events carry "start", "end" and "words"
  --output-dir DIR  write each input's transcript to DIR/NAME.txt, .jsonl,
                  .srt or .vtt instead of standard output (needed for
                  several inputs in srt or vtt)
  --helper PATH   the helper executable (default: the one installed beside
                  olvek-transcribe)
  --mic           dictate: record from the default input until Ctrl-C
  --realtime      send audio at the speed of speech, as a microphone would
                  (default: as fast as the helper takes it)
  --chunk-ms N    milliseconds of audio per line sent, 10 to 1000 (default:
                  100); the helper can give a final only between lines and
                  has 3 s after the end of the audio, so a line must stay
                  short enough to decode well inside that
  --verbose       show the helper's own diagnostics on standard error
  --help          show this text
  --version       show the version
Options without a value take none: --json=false is an error.

Exit status:
  0 transcribed          1 the helper failed      2 bad command line
  3 unreadable input     4 helper not found       5 language not available
  6 not authorized       7 helper launch refused  8 no socket or token here
  9 the transcript could not be written (a full disk, a closed pipe)
With several inputs, the first failure's status: the run goes on past a file
that fails (1, 3) and stops at a failure that would repeat (2, 4 to 9).
(3 also when --mic finds no sound server or no input to record from.)
After the first Ctrl-C the run ends with one of these (0 once the last words
came); after a second, olvek-transcribe dies of that signal, as a shell shows
with 130 for Ctrl-C and 143 for SIGTERM.
)";
}

} // namespace olvek::host
