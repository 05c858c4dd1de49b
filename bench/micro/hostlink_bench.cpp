// Micro-benchmarks of the host link's hot paths, without a socket or an
// engine: the inbound side (readSocketLine + decodeAudioLine on 100 ms audio
// lines, reported as base64 bytes per second) and the outbound side (emit of
// transcript events, reported as events per second).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "hostlink/audio_line.h"
#include "hostlink/event_messages.h"
#include "hostlink/line_transport.h"
#include "platform/base64.h"

namespace {

using namespace olvek;

// Gives the same text over and over, in reads of at most `chunk` bytes, the
// way a socket's receive buffer hands out what arrived.
class RepeatingInputStream final : public InputStream {
public:
    RepeatingInputStream(std::string text, std::size_t chunk) : text_(std::move(text)), chunk_(chunk) {}
    void open() override {}
    long read(std::uint8_t* buffer, std::size_t maxLength) override {
        std::size_t n = std::min({maxLength, chunk_, text_.size() - position_});
        std::memcpy(buffer, text_.data() + position_, n);
        position_ += n;
        if (position_ == text_.size()) position_ = 0;
        return static_cast<long>(n);
    }
    void close() override {}

private:
    std::string text_;
    std::size_t chunk_;
    std::size_t position_ = 0;
};

// Takes every byte and keeps none.
class SinkOutputStream final : public OutputStream {
public:
    void open() override {}
    long write(const std::uint8_t*, std::size_t maxLength) override {
        bytes += maxLength;
        return static_cast<long>(maxLength);
    }
    void close() override {}
    std::size_t bytes = 0;
};

// One audio line of `frames` samples of a varied waveform, with its "\n".
std::string audioLine(std::size_t frames) {
    std::vector<std::uint8_t> pcm(frames * 2);
    std::uint32_t state = 12345;
    for (auto& byte : pcm) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<std::uint8_t>(state >> 16);
    }
    return encodeBase64(pcm.data(), pcm.size()) + "\n";
}

// Argument: milliseconds of audio per line.
void BM_ReadAndDecodeAudioLine(benchmark::State& state) {
    const std::size_t frames = static_cast<std::size_t>(state.range(0)) * 16;
    const std::string line = audioLine(frames);
    format = createAudioFormat();
    socketInputStream = std::make_shared<RepeatingInputStream>(line, 64 * 1024);
    std::size_t decodedFrames = 0;
    for (auto _ : state) {
        std::optional<std::string> text = readSocketLine();
        auto buffer = decodeAudioLine(*text);
        decodedFrames += buffer->frameLength();
        benchmark::DoNotOptimize(buffer);
    }
    if (decodedFrames != frames * static_cast<std::size_t>(state.iterations())) state.SkipWithError("lost frames");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * line.size()));
    state.counters["lines/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    socketInputStream.reset();
}
BENCHMARK(BM_ReadAndDecodeAudioLine)->Arg(20)->Arg(100)->Arg(1000);

// The two halves apart, on a 100 ms line.
void BM_ReadSocketLineOnly(benchmark::State& state) {
    const std::string line = audioLine(1600);
    socketInputStream = std::make_shared<RepeatingInputStream>(line, 64 * 1024);
    for (auto _ : state) benchmark::DoNotOptimize(readSocketLine());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * line.size()));
    socketInputStream.reset();
}
BENCHMARK(BM_ReadSocketLineOnly);

void BM_DecodeAudioLineOnly(benchmark::State& state) {
    std::string line = audioLine(1600);
    line.pop_back();
    format = createAudioFormat();
    for (auto _ : state) benchmark::DoNotOptimize(decodeAudioLine(line));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * line.size()));
}
BENCHMARK(BM_DecodeAudioLineOnly);

// A partial of a typical sentence so far; argument: words in the text.
void BM_EmitTranscriptEvent(benchmark::State& state) {
    std::string text;
    for (std::int64_t i = 0; i < state.range(0); ++i) {
        if (i > 0) text += ' ';
        text += "respectable";
    }
    auto sink = std::make_shared<SinkOutputStream>();
    socketOutputStream = sink;
    for (auto _ : state) emit(transcriptEvent(false, text, "en-US"));
    if (sink->bytes == 0) state.SkipWithError("nothing written");
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
    state.SetBytesProcessed(static_cast<std::int64_t>(sink->bytes));
    socketOutputStream.reset();
}
BENCHMARK(BM_EmitTranscriptEvent)->Arg(1)->Arg(20);

} // namespace

BENCHMARK_MAIN();
