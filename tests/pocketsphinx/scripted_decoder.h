// A decoder whose audio says what it hears, for the engine's tests: each
// sample is 0 silence, v > 0 the word kScriptedWords[v], -1 speech without
// words (a cough), -2 a sample the decoder fails on. Voice activity follows
// the last sample at once (no hangover); a word lies where its samples are,
// with confidence 0.5. It can be made slow on purpose and held at a gate, it
// may have a second pass, and it counts what it was asked to do. Its load
// can be held at a gate too (`gatedLoader`).
#pragma once

#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
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
        heard_ = 0;
        againShift_ = 0;
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
        bool ok = true;
        for (std::size_t i = 0; i < count && ok; ++i) {
            const int value = samples[i];
            if (value == -2) {
                ok = false;
                break;
            }
            const int frame = static_cast<int>(heard_ / pocketsphinx::kSamplesPerFrame);
            if (value > 0 && value != last_) {
                words_.push_back(pocketsphinx::DecodedWord{kScriptedWords[static_cast<std::size_t>(value)], frame, frame, 0.5});
            }
            if (value > 0) words_.back().lastFrame = frame;
            ++heard_;
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
    // Every sample is searched (by the second pass, from its first word on),
    // in 25 ms frames 10 ms apart, as PocketSphinx analyses audio: frame f
    // covers samples 160 f to 160 f + 400.
    std::size_t frames() const override {
        if (heard_ < pocketsphinx::kFrameWindowSamples) return 0;
        return (heard_ - pocketsphinx::kFrameWindowSamples) / pocketsphinx::kSamplesPerFrame + 1 - againShift_;
    }
    bool inSpeech() const override { return speaking_; }
    std::string hypothesis() override {
        std::string text;
        for (const auto& word : words_) text += (text.empty() ? "" : " ") + word.text;
        return text;
    }
    std::vector<pocketsphinx::DecodedWord> words() override { return words_; }
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
                std::chrono::duration<double>(slowdown * static_cast<double>(heard_) / 16000));
        }
        // Its own decision: the words in capitals. And, as PocketSphinx's
        // second pass leaves out the quiet before the speech, its frames
        // count from the first word.
        const int shift = words_.empty() ? 0 : words_.front().firstFrame;
        againShift_ = static_cast<std::uint64_t>(shift);
        for (auto& word : words_) {
            for (auto& c : word.text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            word.firstFrame -= shift;
            word.lastFrame -= shift;
        }
        ++control_->secondPasses;
        return true;
    }

private:
    std::shared_ptr<DecoderControl> control_;
    std::vector<pocketsphinx::DecodedWord> words_;
    std::uint64_t heard_ = 0;
    std::uint64_t againShift_ = 0; // frames the second pass left out
    int last_ = 0;
    bool speaking_ = false;
};

// A model load that the test holds at a gate, as a slow disk or a busy
// machine would: the engine's loader blocks in it until `open`. It records
// that the load began and gives a scripted decoder, or nothing when `fails`.
struct LoaderControl {
    std::mutex mutex;
    std::condition_variable changed;
    bool gateOpen = false; // guarded by mutex
    bool loading = false;  // guarded by mutex: the loader was called
    bool fails = false;
    std::atomic<int> calls{0};

    void open() {
        {
            std::lock_guard<std::mutex> guard(mutex);
            gateOpen = true;
        }
        changed.notify_all();
    }
    // Blocks until the loader has been called; false when it was not within
    // the hang guard.
    bool waitLoading(std::chrono::seconds guard = std::chrono::seconds(20)) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, guard, [&] { return loading; });
    }
};

// A loader for the engine: waits at `loader`'s gate, then gives a
// `ScriptedDecoder` over `decoder` (or nothing when the load fails).
inline std::function<std::unique_ptr<pocketsphinx::UtteranceDecoder>()> gatedLoader(
    std::shared_ptr<LoaderControl> loader, std::shared_ptr<DecoderControl> decoder) {
    return [loader, decoder]() -> std::unique_ptr<pocketsphinx::UtteranceDecoder> {
        ++loader->calls;
        std::unique_lock<std::mutex> lock(loader->mutex);
        loader->loading = true;
        loader->changed.notify_all();
        loader->changed.wait(lock, [&] { return loader->gateOpen; });
        if (loader->fails) return nullptr;
        return std::make_unique<ScriptedDecoder>(decoder);
    };
}

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
