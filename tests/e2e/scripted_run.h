// Shared pieces of the end-to-end tests that run the scripted helper.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "fakes/fake_host.h"

namespace olvek::testing {

inline const std::string kScriptedHelper = OLVEK_SCRIPTED_HELPER_PATH;
inline const std::string kLaunchErrorLine =
    R"({"type":"error","message":"Olvek Speech helper requires socket launch arguments"})"
    "\n";

// A scratch file for the scripted engine's log, removed at the end.
class EngineLog {
public:
    EngineLog() {
        char name[] = "/tmp/olvek-engine-log-XXXXXX";
        int fd = ::mkstemp(name);
        if (fd >= 0) ::close(fd);
        path = name;
    }
    ~EngineLog() { ::unlink(path.c_str()); }

    std::vector<std::string> lines() const {
        std::ifstream in(path);
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line);) out.push_back(line);
        return out;
    }
    // Only the buffers that reached the engine.
    std::vector<std::string> buffers() const {
        std::vector<std::string> out;
        for (const auto& line : lines()) {
            if (!line.empty() && isdigit(static_cast<unsigned char>(line[0]))) out.push_back(line);
        }
        return out;
    }

    std::string path;
};

// The configuration variable of the scripted helper.
inline std::string platformConfig(const std::string& items, const EngineLog& log) {
    return "OLVEK_TEST_PLATFORM=" + items + ";log=" + log.path;
}

} // namespace olvek::testing
