#include "transcribe_run.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>

#include <sndfile.h>

#include "host/child_process.h"

extern char** environ;

namespace olvek::testing {

std::vector<std::string> TranscribeRun::lines() const {
    std::vector<std::string> out;
    std::stringstream stream(this->out);
    std::string line;
    while (std::getline(stream, line)) out.push_back(line);
    return out;
}

TranscribeRun runTranscribe(const TranscribeCall& call) {
    std::vector<std::string> argv{call.program};
    argv.insert(argv.end(), call.arguments.begin(), call.arguments.end());
    host::SpawnOptions options;
    std::vector<std::string> env;
    // A variable the call sets replaces this process's own: with two, the
    // child would see the first.
    auto setByCall = [&call](const std::string& entry) {
        const std::string name = entry.substr(0, entry.find('=') + 1);
        for (const auto& given : call.environment) {
            if (given.rfind(name, 0) == 0) return true;
        }
        return false;
    };
    for (char** e = environ; *e; ++e) {
        if (!setByCall(*e)) env.emplace_back(*e);
    }
    env.insert(env.end(), call.environment.begin(), call.environment.end());
    options.environment = env;
    options.inputFile = call.stdinFile.value_or("/dev/null");
    auto child = host::ChildProcess::spawn(argv, options);
    if (!child) throw std::runtime_error("cannot start " + call.program);
    TranscribeRun run;
    auto status = child->wait(std::chrono::seconds(120)); // hang guard only
    if (!status) status = child->kill();
    run.exited = status->exited;
    run.code = status->code;
    run.out = child->standardOutput();
    run.err = child->standardError();
    return run;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "olvek-host-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void writeSoundFile(const std::string& path, const std::vector<std::int16_t>& samples, int rate, int channels,
                    int format) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) throw std::runtime_error(std::string("sf_open: ") + sf_strerror(nullptr));
    sf_writef_short(file, samples.data(), static_cast<sf_count_t>(samples.size() / static_cast<std::size_t>(channels)));
    sf_close(file);
}

void writeRawPcm(const std::string& path, const std::vector<std::int16_t>& samples) {
    std::string bytes;
    for (std::int16_t s : samples) {
        auto u = static_cast<std::uint16_t>(s);
        bytes.push_back(static_cast<char>(u & 0xFF));
        bytes.push_back(static_cast<char>(u >> 8));
    }
    writeFile(path, bytes);
}

std::vector<std::int16_t> readSamples(const std::string& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) throw std::runtime_error("cannot read " + path);
    std::vector<std::int16_t> samples(static_cast<std::size_t>(info.frames * info.channels));
    sf_readf_short(file, samples.data(), info.frames);
    sf_close(file);
    return samples;
}

std::vector<nlohmann::json> eventsOf(const std::string& out) {
    std::vector<nlohmann::json> events;
    std::stringstream lines(out);
    for (std::string line; std::getline(lines, line);) events.push_back(nlohmann::json::parse(line, nullptr, false));
    return events;
}

std::vector<std::string> wordsOf(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    for (char c : text + " ") {
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '\'') {
            word.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
        } else if (!word.empty()) {
            words.push_back(word);
            word.clear();
        }
    }
    return words;
}

void writeFile(const std::string& path, const std::string& content, bool executable) {
    std::ofstream(path, std::ios::binary) << content;
    if (executable) ::chmod(path.c_str(), 0755);
}

} // namespace olvek::testing
