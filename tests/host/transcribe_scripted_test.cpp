// olvek-transcribe as a whole process against the scripted helper, whose
// engine reads commands out of the audio samples: what reaches the helper,
// what a person sees, and how every way of failing is told apart.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>
#include <regex>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>
#include <sndfile.h>

#include "fakes/scripted_speech_platform.h"
#include "host/child_process.h"
#include "host/transcribe_options.h"
#include "transcribe_run.h"

namespace olvek::testing {
namespace {

constexpr int kChunk = 1600; // 100 ms at 16 kHz, the default line

// One chunk whose samples carry the command "W:<word>", padded with blanks
// so the command fills the whole line (the script reads every sample).
std::vector<std::int16_t> wordChunk(const std::string& word, int frames = kChunk) {
    auto samples = scriptSamples("W:" + word);
    samples.resize(static_cast<std::size_t>(frames), ' ');
    return samples;
}

std::vector<std::int16_t> wordAudio(const std::vector<std::string>& words, int frames = kChunk) {
    std::vector<std::int16_t> audio;
    for (const auto& w : words) {
        auto chunk = wordChunk(w, frames);
        audio.insert(audio.end(), chunk.begin(), chunk.end());
    }
    return audio;
}

std::string scripted() { return OLVEK_SCRIPTED_HELPER_PATH; }

// The buffers the scripted engine received: frames and first samples.
struct LoggedBuffer {
    unsigned frames = 0;
    std::vector<int> head;
};

std::vector<LoggedBuffer> readLog(const std::string& path) {
    std::vector<LoggedBuffer> out;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::stringstream fields(line);
        int request = 0;
        LoggedBuffer buffer;
        // Other lines of the log record platform calls, not buffers.
        if (!(fields >> request >> buffer.frames)) continue;
        int sample = 0;
        while (fields >> sample) buffer.head.push_back(sample);
        out.push_back(buffer);
    }
    return out;
}

class TranscribeScripted : public ::testing::Test {
protected:
    TempDir dir;
    const std::vector<std::string> words{"alpha", "bravo", "charlie", "delta"};

    std::string wav() {
        std::string path = dir.file("words.wav");
        writeSoundFile(path, wordAudio(words), 16000, 1, SF_FORMAT_WAV);
        return path;
    }
};

TEST_F(TranscribeScripted, PipedOutputIsTheFinalsOnlyOnePerLine) {
    auto run = runTranscribe({"--helper", scripted(), wav()});
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.code, 0) << run.err;
    auto lines = run.lines();
    ASSERT_EQ(lines.size(), 1u) << run.out;
    EXPECT_EQ(wordsOf(lines[0]), words);
    EXPECT_EQ(run.out.find('\r'), std::string::npos) << "no in-place rewriting when piped";
}

TEST_F(TranscribeScripted, JsonGivesEveryEventAsReceivedInProtocolOrder) {
    auto run = runTranscribe({"--json", "--helper", scripted(), wav()});
    ASSERT_EQ(run.code, 0) << run.err;
    auto lines = run.lines();
    ASSERT_GE(lines.size(), 4u);
    std::vector<std::string> types;
    for (const auto& line : lines) {
        auto event = nlohmann::json::parse(line, nullptr, false);
        ASSERT_TRUE(event.is_object()) << line;
        types.push_back(event.value("type", ""));
    }
    EXPECT_EQ(types.front(), "hello");
    EXPECT_EQ(types[1], "ready");
    EXPECT_EQ(types.back(), "stopped");
    // One partial per word, each growing, then the final of the segment.
    EXPECT_EQ(std::count(types.begin(), types.end(), "partial"), 4);
    auto final = nlohmann::json::parse(lines[lines.size() - 2]);
    EXPECT_EQ(final["type"], "final");
    EXPECT_EQ(wordsOf(final["text"]), words);
    EXPECT_EQ(final["language"], "en-US");
    EXPECT_EQ(nlohmann::json::parse(lines[1])["locale"], "en-US");
}

// The token is read off the helper's launch line (a wrapper records it): the
// output itself must never show it, not even with --json.
TEST_F(TranscribeScripted, EachRunUsesAFreshTokenOfAtLeast128RandomBitsAndNeverPrintsIt) {
    std::string wrapper = dir.file("recording-helper"), launches = dir.file("launches");
    writeFile(wrapper, "#!/bin/sh\necho \"$@\" >> '" + launches + "'\nexec '" + scripted() + "' \"$@\"\n", true);
    std::vector<TranscribeRun> runs;
    for (int i = 0; i < 2; ++i) {
        runs.push_back(runTranscribe({"--json", "--helper", wrapper, wav()}));
        ASSERT_EQ(runs.back().code, 0) << runs.back().err;
        EXPECT_EQ(nlohmann::json::parse(runs.back().lines().at(0)), nlohmann::json({{"type", "hello"}}));
    }
    std::set<std::string> tokens;
    std::ifstream in(launches);
    for (std::string line; std::getline(in, line);) {
        std::smatch match;
        ASSERT_TRUE(std::regex_search(line, match, std::regex("--olvek-socket-token (\\S+)$"))) << line;
        std::string token = match[1];
        EXPECT_TRUE(std::regex_match(token, std::regex("[0-9a-f]{32,}"))) << token;
        for (const auto& run : runs) {
            EXPECT_EQ(run.out.find(token), std::string::npos) << "the token was printed";
            EXPECT_EQ(run.err.find(token), std::string::npos) << "the token was printed";
        }
        tokens.insert(token);
    }
    EXPECT_EQ(tokens.size(), 2u);
}

TEST_F(TranscribeScripted, AudioArrivesInChunksOfTheChosenLengthSampleForSample) {
    // A ramp that is not a whole number of chunks: the last line is shorter.
    std::vector<std::int16_t> ramp(16000 + 700);
    for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<std::int16_t>(i * 7 - 30000);
    std::string path = dir.file("ramp.wav");
    writeSoundFile(path, ramp, 16000, 1, SF_FORMAT_WAV);

    struct Case {
        std::vector<std::string> extra;
        unsigned chunk;
    };
    for (const Case& c : {Case{{}, 1600u}, Case{{"--chunk-ms", "250"}, 4000u}, Case{{"--chunk-ms=20"}, 320u}}) {
        std::string log = dir.file("log-" + std::to_string(c.chunk));
        std::vector<std::string> args{"--helper", scripted()};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        args.push_back(path);
        auto run = runTranscribe(args, {"OLVEK_TEST_PLATFORM=log=" + log});
        ASSERT_EQ(run.code, 0) << run.err;
        auto buffers = readLog(log);
        const std::size_t lines = (ramp.size() + c.chunk - 1) / c.chunk;
        ASSERT_EQ(buffers.size(), lines) << "chunk " << c.chunk << ": the file's audio and nothing else";
        std::size_t offset = 0;
        for (std::size_t i = 0; i < buffers.size(); ++i) {
            unsigned expected = i + 1 < buffers.size() ? c.chunk : static_cast<unsigned>(ramp.size() % c.chunk);
            EXPECT_EQ(buffers[i].frames, expected) << "buffer " << i;
            for (std::size_t k = 0; k < buffers[i].head.size(); ++k) {
                ASSERT_EQ(buffers[i].head[k], ramp[offset + k]) << "buffer " << i << " sample " << k;
            }
            offset += buffers[i].frames;
        }
    }
}

TEST_F(TranscribeScripted, WavFlacAndRawStandardInputDeliverTheSameSamples) {
    auto audio = wordAudio(words);
    std::string wavPath = dir.file("a.wav"), flacPath = dir.file("a.flac"), rawPath = dir.file("a.raw");
    writeSoundFile(wavPath, audio, 16000, 1, SF_FORMAT_WAV);
    writeSoundFile(flacPath, audio, 16000, 1, SF_FORMAT_FLAC);
    writeRawPcm(rawPath, audio);

    std::vector<std::vector<std::string>> outputs;
    for (const auto& input : {wavPath, flacPath, std::string("-")}) {
        TranscribeCall call{{"--helper", scripted(), input}, {}, input == "-" ? std::optional(rawPath) : std::nullopt};
        auto run = runTranscribe(call);
        ASSERT_EQ(run.code, 0) << input << ": " << run.err;
        outputs.push_back(run.lines());
    }
    ASSERT_EQ(outputs[0].size(), 1u);
    EXPECT_EQ(wordsOf(outputs[0][0]), words);
    EXPECT_EQ(outputs[1], outputs[0]) << "FLAC";
    EXPECT_EQ(outputs[2], outputs[0]) << "raw PCM on standard input";
}

TEST_F(TranscribeScripted, RawInputKeepsAnOddByteForTheNextReadAndDropsItAtTheEnd) {
    // The scripted log shows the samples: a stray last byte must not become one.
    std::vector<std::int16_t> samples(1600 * 2 + 5, 1234);
    std::string raw = dir.file("odd.raw"), log = dir.file("odd.log");
    writeRawPcm(raw, samples);
    std::ofstream(raw, std::ios::app | std::ios::binary) << 'x';
    auto run = runTranscribe(TranscribeCall{{"--helper", scripted(), "-"}, {"OLVEK_TEST_PLATFORM=log=" + log}, raw});
    ASSERT_EQ(run.code, 0) << run.err;
    auto buffers = readLog(log);
    ASSERT_EQ(buffers.size(), 3u);
    EXPECT_EQ(buffers[2].frames, 5u);
    for (int s : buffers[2].head) EXPECT_EQ(s, 1234);
}

TEST_F(TranscribeScripted, RealtimeSendsNoFasterThanSpeech) {
    // A lower bound only: pacing must hold the audio back; nothing bounds
    // how slow a loaded machine may be.
    std::string log = dir.file("paced.log");
    auto started = std::chrono::steady_clock::now();
    auto run = runTranscribe({"--realtime", "--helper", scripted(), wav()}, {"OLVEK_TEST_PLATFORM=log=" + log});
    auto took = std::chrono::steady_clock::now() - started;
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(wordsOf(run.out), words);
    EXPECT_GE(took, std::chrono::milliseconds(380)) << "4 chunks of 100 ms";
    EXPECT_EQ(readLog(log).size(), 4u);
}

TEST_F(TranscribeScripted, CtrlCOnLiveInputEndsTheAudioAndTheLastWordsStillCome) {
    // Standard input as a live recorder gives it: a pipe that stays open.
    std::string fifo = dir.file("live");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    int recorder = ::open(fifo.c_str(), O_RDWR); // holds the writing end open
    ASSERT_GE(recorder, 0);
    host::SpawnOptions options;
    options.inputFile = fifo;
    auto transcribe = host::ChildProcess::spawn({OLVEK_TRANSCRIBE_PATH, "--json", "--helper", scripted(), "-"}, options);
    ASSERT_TRUE(transcribe);
    auto audio = wordAudio({"hello", "there"});
    ASSERT_EQ(::write(recorder, audio.data(), audio.size() * 2), static_cast<ssize_t>(audio.size() * 2));

    // Once both words have reached the helper, the speaker presses Ctrl-C.
    auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (transcribe->standardOutput().find("there") == std::string::npos &&
           std::chrono::steady_clock::now() < guard) {
        ASSERT_FALSE(transcribe->wait(std::chrono::milliseconds(50))) << transcribe->standardError();
    }
    ASSERT_NE(transcribe->standardOutput().find("there"), std::string::npos) << "the partial never came";
    ::kill(transcribe->pid(), SIGINT);
    auto status = transcribe->wait(std::chrono::seconds(20));
    ::close(recorder);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->exited);
    EXPECT_EQ(status->code, 0) << transcribe->standardError();
    std::vector<std::string> types;
    std::string final;
    for (const auto& event : eventsOf(transcribe->standardOutput())) {
        ASSERT_TRUE(event.is_object()) << transcribe->standardOutput();
        types.push_back(event["type"]);
        if (event["type"] == "final") final = event["text"];
    }
    ASSERT_FALSE(types.empty());
    EXPECT_EQ(types.back(), "stopped");
    EXPECT_EQ(wordsOf(final), (std::vector<std::string>{"hello", "there"}));
}

TEST_F(TranscribeScripted, ImpostorsThatConnectFirstAreTurnedAwayAndTheHelperGetsThrough) {
    auto run = runTranscribe({"--helper", OLVEK_IMPOSTOR_HELPER_PATH, wav()},
                             {"OLVEK_IMPOSTORS=wrong,silent,garbage", "OLVEK_IMPOSTOR_EXEC=" + scripted()});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(wordsOf(run.out), words);
    EXPECT_NE(run.err.find("turned away 3 connection"), std::string::npos) << run.err;
}

TEST_F(TranscribeScripted, DefaultHelperIsTheOneInstalledBesideTheProgram) {
    std::string copy = dir.file("olvek-transcribe");
    std::filesystem::copy_file(OLVEK_TRANSCRIBE_PATH, copy);
    std::filesystem::permissions(copy, std::filesystem::perms::owner_all);
    std::string input = wav();

    auto missing = runTranscribe(TranscribeCall{{input}, {}, std::nullopt, copy});
    EXPECT_EQ(missing.code, host::kExitHelperMissing);
    EXPECT_NE(missing.err.find(dir.file("olvek-macos-speech-helper")), std::string::npos) << missing.err;

    std::filesystem::create_symlink(scripted(), dir.file("olvek-macos-speech-helper"));
    auto found = runTranscribe(TranscribeCall{{input}, {}, std::nullopt, copy});
    EXPECT_EQ(found.code, 0) << found.err;
    EXPECT_EQ(wordsOf(found.out), words);
}

// Every way a run can fail has its own message and exit code.
TEST_F(TranscribeScripted, EachFailureHasItsOwnMessageAndExitCode) {
    std::string input = wav();
    writeFile(dir.file("exit4"), "#!/bin/sh\nexit 4\n", true);
    writeFile(dir.file("crash"), "#!/bin/sh\nkill -SEGV $$\n", true);
    writeFile(dir.file("not-audio.txt"), "just some words\n");
    writeFile(dir.file("not-executable"), "#!/bin/sh\nexit 0\n", false);
    std::filesystem::create_directory(dir.file("folder"));

    struct Case {
        const char* what;
        std::vector<std::string> arguments;
        std::string environment;
        int code;
        std::string message;
    };
    const std::vector<Case> cases{
        {"missing helper", {"--helper", dir.file("nope"), input}, "", host::kExitHelperMissing,
         "speech helper not found or not executable: " + dir.file("nope")},
        {"helper not executable", {"--helper", dir.file("not-executable"), input}, "", host::kExitHelperMissing,
         "speech helper not found"},
        {"no such input file", {"--helper", scripted(), dir.file("absent.wav")}, "", host::kExitUnreadableInput,
         "cannot read audio file " + dir.file("absent.wav") + ": No such file"},
        {"input not audio", {"--helper", scripted(), dir.file("not-audio.txt")}, "", host::kExitUnreadableInput,
         "cannot read audio file " + dir.file("not-audio.txt")},
        {"input is a directory", {"--helper", scripted(), dir.file("folder")}, "", host::kExitUnreadableInput,
         "it is a directory"},
        {"no recognizer for the language", {"--helper", scripted(), "--lang", "zh", input}, "locales=en-US",
         host::kExitNoRecognizer, "no speech recognizer is available for --lang zh (the helper said: "
                                  "SFSpeechRecognizer unavailable for locale zh-CN)"},
        {"authorization denied", {"--helper", scripted(), input}, "auth=1", host::kExitNotAuthorized,
         "speech recognition is not authorized (the helper said: macOS Speech Recognition permission is not "
         "authorized)"},
        {"helper refuses its launch", {"--helper", dir.file("exit4"), input}, "", host::kExitLaunchRejected,
         "refused its launch arguments"},
        {"helper crashes", {"--helper", dir.file("crash"), input}, "", host::kExitHelperFailed,
         "killed by signal 11"},
        {"no input given", {"--helper", scripted()}, "", host::kExitUsage, "no input"},
        {"unknown option", {"--colour", input}, "", host::kExitUsage, "unknown option --colour"},
    };
    std::set<int> codes;
    for (const auto& c : cases) {
        std::vector<std::string> env;
        if (!c.environment.empty()) env.push_back("OLVEK_TEST_PLATFORM=" + c.environment);
        auto run = runTranscribe(c.arguments, env);
        ASSERT_TRUE(run.exited) << c.what;
        EXPECT_EQ(run.code, c.code) << c.what << ": " << run.err;
        EXPECT_EQ(run.err.rfind("olvek-transcribe: ", 0), 0u) << c.what << ": " << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.what << ": " << run.err;
        EXPECT_EQ(run.out, "") << c.what << ": nothing on standard output";
        codes.insert(run.code);
    }
    EXPECT_EQ(codes.size(), 7u) << "one exit code per kind of failure";
}

TEST(TranscribeCommandLine, HelpAndVersionNeedNoInput) {
    auto help = runTranscribe({"--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find("Usage: olvek-transcribe"), std::string::npos);
    EXPECT_NE(help.out.find("--realtime"), std::string::npos);
    EXPECT_NE(help.out.find("--chunk-ms N    milliseconds of audio per line sent, 10 to 1000"), std::string::npos)
        << help.out;
    EXPECT_NE(help.out.find("after a second, olvek-transcribe dies of that signal"), std::string::npos) << help.out;
    auto version = runTranscribe({"--version"});
    EXPECT_EQ(version.code, 0);
    EXPECT_TRUE(std::regex_match(version.out, std::regex("olvek-transcribe [0-9]+\\.[0-9]+\\.[0-9]+\n")))
        << version.out;
}

} // namespace
} // namespace olvek::testing
