// A decoder whose audio says what it hears, for the engine's tests: each
// sample is 0 silence, v > 0 the word kScriptedWords[v], -1 speech without
// words (a cough), -2 a sample the decoder fails on. Voice activity follows
// the last sample at once (no hangover). It can be made slow on purpose and
// held at a gate, it may have a second pass, and it counts what it was asked
// to do.
#pragma once

#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "recognition/pocketsphinx/utterance_decoder.h"

namespace olvek::testing {

inline const std::vector<std::string> kScriptedWords{"", "one", "two", "caf\xC3", "four", "five", "six"};

// Shared between the test and the decoder, which the engine owns.
struct DecoderControl {
    std::mutex mutex;
    std::condition_variable changed;
    bool gateOpen = true;
    std::uint64_t processedSamples = 0; // guarded by mutex
    bool inProcess = false;             // guarded by mutex: a call waits at the gate or decodes

    // Decoding time per second of audio: 4 makes the decoder four times
    // slower than real time.
    std::atomic<double> slowdown{0};
    // Time the closing pass takes (ending an utterance), as a slow machine's
    // lattice search at the end of a PocketSphinx utterance would.
    std::atomic<int> closingPassMilliseconds{0};
    std::atomic<int> started{0};
    std::atomic<int> ended{0};
    // Whether the decoder has a second pass: it then hears each word of the
    // ended utterance in capitals (its own decision, told apart from the
    // live pass's), taking `slowdown` per second of the utterance's audio.
    std::atomic<bool> secondPass{false};
    std::atomic<int> secondPasses{0};

    void close() {
        std::lock_guard<std::mutex> guard(mutex);
        gateOpen = false;
    }
    void open() {
        {
            std::lock_guard<std::mutex> guard(mutex);
            gateOpen = true;
        }
        changed.notify_all();
    }
    // Blocks until the decoder has processed `samples` in all; false when it
    // did not within the hang guard.
    bool waitProcessed(std::uint64_t samples, std::chrono::seconds guard = std::chrono::seconds(20)) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, guard, [&] { return processedSamples >= samples; });
    }
    // Blocks until a process call has begun (it may be held at the gate).
    bool waitInProcess(std::chrono::seconds guard = std::chrono::seconds(20)) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, guard, [&] { return inProcess; });
    }
    std::uint64_t processed() {
        std::lock_guard<std::mutex> guard(mutex);
        return processedSamples;
    }
};

class ScriptedDecoder final : public pocketsphinx::UtteranceDecoder {
public:
    explicit ScriptedDecoder(std::shared_ptr<DecoderControl> control) : control_(std::move(control)) {}

    bool startUtterance() override {
        words_.clear();
        utteranceSamples_ = 0;
        last_ = 0;
        speaking_ = false;
        ++control_->started;
        return true;
    }
    bool process(const std::int16_t* samples, std::size_t count) override {
        {
            std::unique_lock<std::mutex> lock(control_->mutex);
            control_->inProcess = true;
            control_->changed.notify_all();
            control_->changed.wait(lock, [&] { return control_->gateOpen; });
        }
        const double slowdown = control_->slowdown;
        if (slowdown > 0) {
            std::this_thread::sleep_for(std::chrono::duration<double>(slowdown * static_cast<double>(count) / 16000));
        }
        utteranceSamples_ += count;
        bool ok = true;
        for (std::size_t i = 0; i < count && ok; ++i) {
            const int value = samples[i];
            if (value == -2) {
                ok = false;
                break;
            }
            if (value > 0 && value != last_) words_.push_back(kScriptedWords[static_cast<std::size_t>(value)]);
            last_ = value;
            speaking_ = value != 0;
        }
        {
            std::lock_guard<std::mutex> guard(control_->mutex);
            control_->inProcess = false;
            control_->processedSamples += count;
        }
        control_->changed.notify_all();
        return ok;
    }
    bool inSpeech() const override { return speaking_; }
    std::string hypothesis() override {
        std::string text;
        for (const auto& word : words_) text += (text.empty() ? "" : " ") + word;
        return text;
    }
    bool endUtterance() override {
        if (control_->closingPassMilliseconds > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(control_->closingPassMilliseconds));
        }
        ++control_->ended;
        return true;
    }

    bool decodeAgain() override {
        if (!control_->secondPass) return false;
        const double slowdown = control_->slowdown;
        if (slowdown > 0) {
            std::this_thread::sleep_for(
                std::chrono::duration<double>(slowdown * static_cast<double>(utteranceSamples_) / 16000));
        }
        for (auto& word : words_) {
            for (auto& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        ++control_->secondPasses;
        return true;
    }

private:
    std::shared_ptr<DecoderControl> control_;
    std::size_t utteranceSamples_ = 0;
    std::vector<std::string> words_;
    int last_ = 0;
    bool speaking_ = false;
};

// `milliseconds` of samples of one `value`.
inline std::vector<std::int16_t> segment(int value, int milliseconds) {
    return std::vector<std::int16_t>(static_cast<std::size_t>(milliseconds) * 16, static_cast<std::int16_t>(value));
}

inline std::vector<std::int16_t> concat(std::initializer_list<std::vector<std::int16_t>> parts) {
    std::vector<std::int16_t> out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

} // namespace olvek::testing
