// Running olvek-transcribe as a process in tests, and the files it reads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace olvek::testing {

struct TranscribeRun {
    bool exited = false; // false: killed (by the hang guard or a signal)
    int code = -1;
    std::string out;
    std::string err;
    // Standard output split into lines.
    std::vector<std::string> lines() const;
};

struct TranscribeCall {
    std::vector<std::string> arguments;  // after the program name
    std::vector<std::string> environment; // added to this process's own
    std::optional<std::string> stdinFile; // standard input (default: /dev/null)
    std::string program = OLVEK_TRANSCRIBE_PATH;
};

// Runs it to the end; killed after a generous hang guard.
TranscribeRun runTranscribe(const TranscribeCall& call);
inline TranscribeRun runTranscribe(std::vector<std::string> arguments, std::vector<std::string> environment = {}) {
    return runTranscribe(TranscribeCall{std::move(arguments), std::move(environment), std::nullopt});
}

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Writes interleaved 16-bit `samples` as a sound file (WAV or FLAC by
// `format`, libsndfile's SF_FORMAT_* major type with PCM_16).
void writeSoundFile(const std::string& path, const std::vector<std::int16_t>& samples, int rate, int channels,
                    int format);
// Writes the samples as raw little-endian 16-bit PCM.
void writeRawPcm(const std::string& path, const std::vector<std::int16_t>& samples);
// Reads a 16 kHz mono sound file's samples.
std::vector<std::int16_t> readSamples(const std::string& path);

// Every event olvek-transcribe wrote with --json, a line each (a line that is
// not JSON gives a discarded value).
std::vector<nlohmann::json> eventsOf(const std::string& out);

// The words of `text`, lower-cased, without punctuation.
std::vector<std::string> wordsOf(const std::string& text);
// Writes a file (for helper scripts: made executable when `executable`).
void writeFile(const std::string& path, const std::string& content, bool executable = false);

} // namespace olvek::testing
