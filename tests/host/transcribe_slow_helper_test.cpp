// olvek-transcribe against a stand-in helper that is slow on purpose
// (olvek-slow-helper): how far it runs ahead of a helper that stops reading,
// and what the first and the second Ctrl-C do. The stand-in stalls until it
// sees olvek-transcribe blocked, so no test relies on how long anything takes;
// the time limits are hang guards only.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "host/child_process.h"
#include "transcribe_run.h"

extern char** environ;

namespace olvek::testing {
namespace {

using namespace std::chrono_literals;

constexpr int kInputSamples = 30 * 16000; // 30 s, far more than any buffer holds
constexpr auto kHangGuard = 60s;

std::string slowHelper() { return OLVEK_SLOW_HELPER_PATH; }

std::map<std::string, long long> readReport(const std::string& path) {
    std::map<std::string, long long> report;
    std::ifstream in(path);
    std::string key;
    long long value = 0;
    while (in >> key >> value) report[key] = value;
    return report;
}

struct HelperIds {
    pid_t pid = -1;
    pid_t group = -1;
};

HelperIds readPidfile(const std::string& path) {
    HelperIds ids;
    std::ifstream(path) >> ids.pid >> ids.group;
    return ids;
}

// True when no process has this id any more: not running, and reaped.
bool processGone(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

class TranscribeSlowHelper : public ::testing::Test {
protected:
    TempDir dir;
    std::string input = dir.file("speech.raw");
    std::string pidfile = dir.file("helper.pid");
    std::string report = dir.file("report");

    void SetUp() override {
        std::vector<std::int16_t> ramp(kInputSamples);
        for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<std::int16_t>(i % 20000);
        writeRawPcm(input, ramp);
    }

    // Starts olvek-transcribe on the raw input with the stand-in configured
    // by `config`, in a process group of its own as a shell starts a job, so
    // that a signal to that group is what a terminal's Ctrl-C sends.
    host::ChildProcess start(const std::string& config, int chunkMs = 100) {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) env.emplace_back(*e);
        env.push_back("OLVEK_SLOW_HELPER=" + config + ";pidfile=" + pidfile + ";report=" + report);
        host::SpawnOptions options;
        options.environment = env;
        options.inputFile = input;
        options.ownProcessGroup = true;
        auto child = host::ChildProcess::spawn({OLVEK_TRANSCRIBE_PATH, "--json", "--chunk-ms", std::to_string(chunkMs),
                                                "--helper", slowHelper(), "-"},
                                               options);
        if (!child) throw std::runtime_error("cannot start olvek-transcribe");
        return std::move(*child);
    }

    // Blocks until `text` has appeared on the standard output (or standard
    // error) of `transcribe`. False when it ended first or the hang guard ran out.
    static bool waitForOutput(host::ChildProcess& transcribe, const std::string& text, bool standardError = false) {
        auto guard = std::chrono::steady_clock::now() + kHangGuard;
        auto seen = [&] {
            const auto& stream = standardError ? transcribe.standardError() : transcribe.standardOutput();
            return stream.find(text) != std::string::npos;
        };
        while (!seen() && std::chrono::steady_clock::now() < guard) {
            if (transcribe.wait(20ms)) return seen();
        }
        return seen();
    }

    // The helper's ids, from the file it wrote first.
    HelperIds helperIds() {
        HelperIds ids = readPidfile(pidfile);
        if (ids.pid > 0) helpers_.push_back(ids.pid);
        return ids;
    }
    // Expects the helper gone, and kills it if it is not.
    static void expectGoneAndCleanUp(pid_t helper, const char* row) {
        ASSERT_GT(helper, 0) << row << ": the helper wrote no pid";
        EXPECT_TRUE(processGone(helper)) << row << ": helper " << helper << " left behind";
        if (!processGone(helper)) ::kill(helper, SIGKILL);
    }
    // No test leaves a stalled stand-in behind, not even one that failed
    // half way (olvek-transcribe itself is killed with its ChildProcess).
    void TearDown() override {
        helperIds();
        for (pid_t helper : helpers_) {
            if (!processGone(helper)) ::kill(helper, SIGKILL);
        }
    }

private:
    std::vector<pid_t> helpers_;
};

// A helper that stops reading must not let olvek-transcribe take its input
// (and count it as sent) far ahead: its own send buffer is small. The stand-in
// keeps its receive buffer tiny, so nearly all that is ahead sits in
// olvek-transcribe's buffer, and it measures once olvek-transcribe is blocked.
TEST_F(TranscribeSlowHelper, RunsNoFurtherAheadOfAHelperThatStopsReadingThanALineAndASecondAndAHalf) {
    struct Row {
        const char* name;
        int chunkMs;
    };
    for (const Row& row : {Row{"100 ms lines", 100}, Row{"1 s lines", 1000}}) {
        std::remove(report.c_str());
        auto transcribe = start("take=5;stall=blocked", row.chunkMs);
        auto status = transcribe.wait(kHangGuard);
        if (!status) status = transcribe.kill();
        ASSERT_TRUE(status->exited) << row.name;
        ASSERT_EQ(status->code, 0) << row.name << ": " << transcribe.standardError();
        auto seen = readReport(report);
        const long long lineBytes = 2LL * 16 * row.chunkMs;
        ASSERT_TRUE(seen.count("lead_bytes")) << row.name;
        EXPECT_GE(seen["lead_bytes"], 0) << row.name;
        EXPECT_LE(seen["lead_bytes"], lineBytes + 48000) << row.name << ": input read ahead of what the helper took";
        // The stall cost nothing: all the audio came, whole.
        EXPECT_EQ(seen["samples"], kInputSamples) << row.name;
        EXPECT_EQ(seen["bad_lines"], 0) << row.name;
        auto events = eventsOf(transcribe.standardOutput());
        ASSERT_GE(events.size(), 2u) << row.name;
        EXPECT_EQ(events[events.size() - 2].value("text", ""), std::to_string(kInputSamples) + " samples") << row.name;
    }
}

// The first Ctrl-C comes while olvek-transcribe is blocked writing a line to
// a helper that has stalled: the write is cut short, nothing more is sent but
// what ends that line and "__END__", and the helper's last final is printed.
TEST_F(TranscribeSlowHelper, FirstCtrlCCutsAWaitingWriteEndsTheAudioAndPrintsTheLastFinal) {
    struct Row {
        const char* name;
        int chunkMs;
    };
    for (const Row& row : {Row{"100 ms lines", 100}, Row{"1 s lines", 1000}}) {
        std::remove(report.c_str());
        const std::string resume = dir.file(std::string("resume-") + std::to_string(row.chunkMs));
        auto transcribe = start("take=3;stall=" + resume, row.chunkMs);
        ASSERT_TRUE(waitForOutput(transcribe, "\"stalled\"")) << row.name << ": " << transcribe.standardError();
        HelperIds helper = helperIds();

        // Ctrl-C on a terminal: SIGINT to the whole process group.
        ASSERT_EQ(::kill(-transcribe.pid(), SIGINT), 0);
        ASSERT_TRUE(waitForOutput(transcribe, "stopping; the last words follow", true)) << row.name;
        writeFile(resume, "");
        auto status = transcribe.wait(kHangGuard);
        if (!status) status = transcribe.kill();

        ASSERT_TRUE(status->exited) << row.name << ": " << transcribe.standardError();
        EXPECT_EQ(status->code, 0) << row.name << ": " << transcribe.standardError();
        auto seen = readReport(report);
        ASSERT_TRUE(seen.count("after_stall_bytes")) << row.name << ": the helper never saw __END__";
        EXPECT_GE(seen["after_stall_bytes"], 0) << row.name;
        EXPECT_LE(seen["after_stall_bytes"], 4) << row.name << ": more than up to 3 characters and a newline "
                                                               "after the Ctrl-C";
        EXPECT_EQ(seen["bad_lines"], 0) << row.name << ": the cut line must still decode";
        EXPECT_LT(seen["samples"], kInputSamples) << row.name;

        auto events = eventsOf(transcribe.standardOutput());
        ASSERT_GE(events.size(), 2u) << row.name;
        EXPECT_EQ(events.back().value("type", ""), "stopped") << row.name;
        EXPECT_EQ(events[events.size() - 2].value("type", ""), "final") << row.name;
        EXPECT_EQ(events[events.size() - 2].value("text", ""), std::to_string(seen["samples"]) + " samples")
            << row.name;

        // In a group of its own, the helper never got the terminal's SIGINT.
        EXPECT_EQ(helper.group, helper.pid) << row.name;
        expectGoneAndCleanUp(helper.pid, row.name);
    }
}

// Whatever olvek-transcribe is waiting for, a second Ctrl-C (or SIGTERM)
// kills and reaps the helper and ends olvek-transcribe at once, killed by that
// signal.
TEST_F(TranscribeSlowHelper, SecondCtrlCKillsAndReapsTheHelperAndQuitsAtOnce) {
    struct Row {
        const char* name;
        std::string config;
        std::string marker; // on standard output once olvek-transcribe waits
        int signal;
    };
    const Row rows[] = {
        {"a write waits on a stalled helper", "take=3;stall=forever", "\"stalled\"", SIGINT},
        {"the helper never finishes", "finish=never", "\"finishing\"", SIGINT},
        {"the helper never gets ready", "ready=never", "\"hello\"", SIGINT},
        {"SIGTERM twice", "take=3;stall=forever", "\"stalled\"", SIGTERM},
    };
    for (const Row& row : rows) {
        std::remove(pidfile.c_str());
        auto transcribe = start(row.config);
        ASSERT_TRUE(waitForOutput(transcribe, row.marker)) << row.name << ": " << transcribe.standardError();
        HelperIds helper = helperIds();

        ASSERT_EQ(::kill(-transcribe.pid(), row.signal), 0);
        // The same signal again before the first was taken would merge with it.
        ASSERT_TRUE(waitForOutput(transcribe, "stopping; the last words follow", true)) << row.name;
        ASSERT_EQ(::kill(-transcribe.pid(), row.signal), 0);
        auto status = transcribe.wait(kHangGuard);
        if (!status) status = transcribe.kill();

        EXPECT_FALSE(status->exited) << row.name << ": exit status " << status->code;
        EXPECT_EQ(status->code, row.signal) << row.name;
        EXPECT_NE(transcribe.standardError().find("interrupted again; stopped the helper and quit"),
                  std::string::npos)
            << row.name << ": " << transcribe.standardError();
        EXPECT_EQ(helper.group, helper.pid) << row.name;
        expectGoneAndCleanUp(helper.pid, row.name);
    }
}

// A hang-up (the terminal closed) leaves nobody to read the last words: the
// helper is killed and reaped at once, and olvek-transcribe dies of it.
TEST_F(TranscribeSlowHelper, AHangUpKillsAndReapsTheHelperAtOnce) {
    auto transcribe = start("take=3;stall=forever");
    ASSERT_TRUE(waitForOutput(transcribe, "\"stalled\"")) << transcribe.standardError();
    HelperIds helper = helperIds();
    ASSERT_EQ(::kill(-transcribe.pid(), SIGHUP), 0);
    auto status = transcribe.wait(kHangGuard);
    if (!status) status = transcribe.kill();
    EXPECT_FALSE(status->exited) << "exit status " << status->code;
    EXPECT_EQ(status->code, SIGHUP);
    expectGoneAndCleanUp(helper.pid, "hang-up");
}

} // namespace
} // namespace olvek::testing
