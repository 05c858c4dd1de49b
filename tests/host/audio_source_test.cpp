// Turning sound files and raw PCM into the helper's 16 kHz mono 16-bit audio.
#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <unistd.h>

#include <sndfile.h>

#include "host/audio_source.h"
#include "host/stop_request.h"
#include "transcribe_run.h"

namespace olvek::host {
namespace {

using olvek::testing::TempDir;
using olvek::testing::writeFile;
using olvek::testing::writeSoundFile;

std::vector<std::int16_t> readAll(AudioSource& source, std::size_t chunk = 1600) {
    std::vector<std::int16_t> out, buffer(chunk);
    while (std::size_t n = source.read(buffer.data(), buffer.size())) out.insert(out.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
    return out;
}

std::vector<std::int16_t> sine(double hz, int rate, double seconds, int channels, double amplitude = 0.5) {
    std::vector<std::int16_t> out;
    auto frames = static_cast<std::size_t>(rate * seconds);
    for (std::size_t i = 0; i < frames; ++i) {
        auto v = static_cast<std::int16_t>(std::lround(amplitude * 32767 * std::sin(2 * M_PI * hz * static_cast<double>(i) / rate)));
        for (int c = 0; c < channels; ++c) out.push_back(v);
    }
    return out;
}

// Upward zero crossings per second: the frequency of a clean tone.
double frequencyOf(const std::vector<std::int16_t>& samples, int rate) {
    int crossings = 0;
    for (std::size_t i = 1; i < samples.size(); ++i) crossings += samples[i - 1] < 0 && samples[i] >= 0;
    return crossings * static_cast<double>(rate) / static_cast<double>(samples.size());
}

double rms(const std::vector<std::int16_t>& samples, std::size_t from, std::size_t to) {
    double sum = 0;
    for (std::size_t i = from; i < to; ++i) sum += static_cast<double>(samples[i]) * samples[i];
    return std::sqrt(sum / static_cast<double>(to - from));
}

TEST(AudioFile, SixteenKilohertzMonoPassesThroughSampleForSample) {
    TempDir dir;
    std::vector<std::int16_t> samples;
    for (int i = 0; i < 5000; ++i) samples.push_back(static_cast<std::int16_t>((i * 7919) % 65536 - 32768));
    for (int format : {SF_FORMAT_WAV, SF_FORMAT_FLAC}) {
        std::string path = dir.file("mono" + std::to_string(format));
        writeSoundFile(path, samples, 16000, 1, format);
        auto opened = openAudioFile(path);
        ASSERT_TRUE(opened.source) << opened.error;
        EXPECT_EQ(opened.source->totalFrames(), samples.size());
        EXPECT_EQ(readAll(*opened.source, 333), samples) << "format " << format;
        EXPECT_FALSE(opened.source->error());
    }
}

TEST(AudioFile, ChannelsAreMixedDownToTheirMean) {
    TempDir dir;
    // Left and right differ; 16 kHz, so only the mix-down is at work.
    std::vector<std::int16_t> stereo;
    for (int i = 0; i < 1000; ++i) {
        stereo.push_back(static_cast<std::int16_t>(i * 20));
        stereo.push_back(static_cast<std::int16_t>(-i * 10));
    }
    std::string path = dir.file("stereo.wav");
    writeSoundFile(path, stereo, 16000, 2, SF_FORMAT_WAV);
    auto opened = openAudioFile(path);
    ASSERT_TRUE(opened.source) << opened.error;
    auto mono = readAll(*opened.source);
    ASSERT_EQ(mono.size(), 1000u);
    for (int i = 0; i < 1000; ++i) EXPECT_NEAR(mono[static_cast<std::size_t>(i)], i * 5, 1) << i;
}

TEST(AudioFile, OtherRatesAreResampledKeepingPitchLengthAndLevel) {
    TempDir dir;
    struct Case {
        int rate;
        int channels;
    };
    for (const Case& c : {Case{44100, 2}, Case{48000, 1}, Case{8000, 1}, Case{22050, 6}}) {
        std::string path = dir.file("tone" + std::to_string(c.rate) + ".wav");
        writeSoundFile(path, sine(440, c.rate, 1.0, c.channels), c.rate, c.channels, SF_FORMAT_WAV);
        auto opened = openAudioFile(path);
        ASSERT_TRUE(opened.source) << opened.error;
        EXPECT_EQ(opened.source->totalFrames(), 16000u);
        auto out = readAll(*opened.source);
        EXPECT_NEAR(static_cast<double>(out.size()), 16000, 16) << c.rate;
        EXPECT_NEAR(frequencyOf(out, 16000), 440, 3) << c.rate;
        // Away from the edges, where the filter rings in and out.
        EXPECT_NEAR(rms(out, 2000, 14000), 0.5 * 32767 / std::sqrt(2.0), 300) << c.rate;
    }
}

TEST(AudioFile, CompressedContainersDecode) {
    TempDir dir;
    struct Case {
        const char* name;
        int format;
        int rate;
    };
    const Case cases[] = {
        {"tone.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 44100},
        {"tone.opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, 48000},
        {"tone.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 44100},
    };
    int tried = 0;
    for (const auto& c : cases) {
        SF_INFO info{};
        info.samplerate = c.rate;
        info.channels = 2;
        info.format = c.format;
        if (!sf_format_check(&info)) continue; // this libsndfile cannot write it
        std::string path = dir.file(c.name);
        SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
        ASSERT_TRUE(file) << c.name << ": " << sf_strerror(nullptr);
        auto tone = sine(440, c.rate, 1.0, 2);
        std::vector<float> frames(tone.begin(), tone.end());
        for (float& f : frames) f /= 32768.0f;
        sf_writef_float(file, frames.data(), static_cast<sf_count_t>(frames.size() / 2));
        sf_close(file);
        ++tried;

        auto opened = openAudioFile(path);
        ASSERT_TRUE(opened.source) << c.name << ": " << opened.error;
        auto out = readAll(*opened.source);
        // Encoders add a little delay and padding at the ends.
        EXPECT_NEAR(static_cast<double>(out.size()), 16000, 1600) << c.name;
        EXPECT_NEAR(frequencyOf(out, 16000), 440, 10) << c.name;
        EXPECT_NEAR(rms(out, 3000, 13000), 0.5 * 32767 / std::sqrt(2.0), 1500) << c.name;
    }
    EXPECT_GE(tried, 1) << "Debian 12's libsndfile writes Ogg Vorbis at least";
}

TEST(AudioFile, LoudFloatSamplesAreClippedNotWrapped) {
    TempDir dir;
    // Mono takes the pass-through path, stereo the mix-down path.
    for (int channels : {1, 2}) {
        std::string path = dir.file("loud" + std::to_string(channels) + ".wav");
        SF_INFO info{};
        info.samplerate = 16000;
        info.channels = channels;
        info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
        ASSERT_TRUE(file);
        std::vector<float> frames;
        for (float v : {1.5f, -2.0f, 0.25f}) frames.insert(frames.end(), static_cast<std::size_t>(channels), v);
        sf_writef_float(file, frames.data(), 3);
        sf_close(file);
        auto opened = openAudioFile(path);
        ASSERT_TRUE(opened.source) << opened.error;
        auto out = readAll(*opened.source);
        ASSERT_EQ(out.size(), 3u);
        EXPECT_GE(out[0], 32766) << channels;
        EXPECT_EQ(out[1], -32768) << channels;
        EXPECT_NEAR(out[2], 8192, 1) << channels;
    }
}

TEST(AudioFile, UnreadableFilesSayWhy) {
    TempDir dir;
    writeFile(dir.file("text.wav"), "this is not a sound file\n");
    writeFile(dir.file("empty.flac"), "");
    struct Case {
        std::string path;
        std::string reason;
    };
    for (const Case& c : {Case{dir.file("missing.wav"), "No such file"}, Case{dir.path(), "directory"},
                          Case{dir.file("text.wav"), ""}, Case{dir.file("empty.flac"), ""}}) {
        auto opened = openAudioFile(c.path);
        EXPECT_FALSE(opened.source) << c.path;
        EXPECT_FALSE(opened.error.empty()) << c.path;
        EXPECT_NE(opened.error.find(c.reason), std::string::npos) << opened.error;
    }
}

TEST(RawPcm, ReadsLittleEndianSamplesAcrossShortWrites) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    // A writer that hands over odd-sized pieces, splitting samples in two.
    const std::vector<std::uint8_t> bytes{0x01, 0x00, 0xFF, 0xFF, 0x00, 0x80, 0xFF, 0x7F, 0x34, 0x12, 0xAB};
    std::thread writer([&] {
        for (std::size_t i = 0; i < bytes.size(); i += 3) {
            ASSERT_GT(::write(fds[1], bytes.data() + i, std::min<std::size_t>(3, bytes.size() - i)), 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ::close(fds[1]);
    });
    auto source = openRawPcm(fds[0]);
    std::vector<std::int16_t> buffer(2);
    std::vector<std::int16_t> all;
    while (std::size_t n = source->read(buffer.data(), buffer.size())) {
        // Only the last read may come up short.
        if (all.size() < 4) {
            EXPECT_EQ(n, 2u);
        }
        all.insert(all.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
    }
    writer.join();
    ::close(fds[0]);
    EXPECT_EQ(all, (std::vector<std::int16_t>{1, -1, -32768, 32767, 0x1234})) << "the odd last byte is dropped";
    EXPECT_FALSE(source->totalFrames());
    EXPECT_FALSE(source->error());
}

// Once a stop is requested (the first Ctrl-C), reading live input waits no
// more: it returns at once and takes nothing further from the recorder.
TEST(RawPcm, AStopEndsTheWaitForInputAtOnce) {
    struct Row {
        const char* name;
        std::size_t samplesWaiting; // in the pipe, fewer than a chunk
    };
    for (const Row& row : {Row{"nothing waiting", 0}, Row{"part of a chunk waiting", 100}}) {
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        const std::vector<std::int16_t> waiting(row.samplesWaiting, 7);
        ASSERT_EQ(::write(fds[1], waiting.data(), waiting.size() * 2), static_cast<ssize_t>(waiting.size() * 2));
        // Hang guard: should the read wait on, the recorder ends after a
        // long while, which lets it return, and the test fails.
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false, recorderEnded = false;
        std::thread guard([&] {
            std::unique_lock<std::mutex> lock(mutex);
            recorderEnded = !done.wait_for(lock, std::chrono::seconds(30), [&] { return finished; });
            ::close(fds[1]);
        });

        StopRequest stop;
        stop.request();
        auto source = openRawPcm(fds[0], stop.fd());
        std::vector<std::int16_t> chunk(1600);
        EXPECT_EQ(source->read(chunk.data(), chunk.size()), 0u) << row.name;
        EXPECT_FALSE(source->error()) << row.name;
        {
            std::lock_guard<std::mutex> lock(mutex);
            finished = true;
        }
        done.notify_one();
        guard.join();
        EXPECT_FALSE(recorderEnded) << row.name << ": the read waited for the recorder";
        // What the recorder had written is still in the pipe, untaken.
        std::vector<std::int16_t> left(1600);
        EXPECT_EQ(::read(fds[0], left.data(), left.size() * 2), static_cast<ssize_t>(row.samplesWaiting * 2))
            << row.name;
        ::close(fds[0]);
    }
}

} // namespace
} // namespace olvek::host
