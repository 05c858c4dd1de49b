// Pieces shared by the fault-injection tests.
#pragma once

#include <fstream>
#include <string>
#include <sys/types.h>
#include <vector>

#include "e2e/scripted_run.h"
#include "fakes/fake_host.h"
#include "pocketsphinx/speech_test_support.h"

namespace olvek::testing {

inline const std::string kHelper = OLVEK_HELPER_PATH;

// A LibriVox clip's samples (the tests need one that exists).
inline std::vector<std::int16_t> clip(const std::string& id) {
    auto samples = readWav(kLibrivox / (id + ".wav"));
    return samples ? *samples : std::vector<std::int16_t>{};
}

// 100 ms base64 lines of `samples`.
inline std::vector<std::string> audioLines(const std::vector<std::int16_t>& samples, std::size_t frames = 1600) {
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < samples.size(); at += frames) {
        auto end = std::min(samples.size(), at + frames);
        lines.push_back(audioLine(std::vector<std::int16_t>(samples.begin() + static_cast<std::ptrdiff_t>(at),
                                                            samples.begin() + static_cast<std::ptrdiff_t>(end))));
    }
    return lines;
}

// The process's peak resident set so far, in KiB (0 once it is gone).
inline long peakResidentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    }
    return 0;
}

// The finals' texts joined by blanks.
inline std::string joinedFinals(const FakeHost& host) {
    std::string out;
    for (const auto& line : host.lines()) {
        auto json = line.json();
        if (json.is_object() && json["type"] == "final") {
            std::string text = json["text"];
            if (text.empty()) continue;
            if (!out.empty()) out += " ";
            out += text;
        }
    }
    return out;
}

} // namespace olvek::testing
