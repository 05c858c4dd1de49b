// In-memory streams for tests of the line transport and of everything that
// emits events.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "platform/socket_stream_pair.h"

namespace olvek::testing {

// Gives its bytes, then ends with 0 (end of stream) or -1 (an error).
class MemoryInputStream final : public InputStream {
public:
    explicit MemoryInputStream(std::string bytes, long endResult = 0) : bytes_(std::move(bytes)), end_(endResult) {}
    void open() override {}
    long read(std::uint8_t* buffer, std::size_t maxLength) override {
        ++reads;
        if (position_ >= bytes_.size()) return end_;
        std::size_t n = std::min(maxLength, bytes_.size() - position_);
        for (std::size_t i = 0; i < n; ++i) buffer[i] = static_cast<std::uint8_t>(bytes_[position_ + i]);
        position_ += n;
        return static_cast<long>(n);
    }
    void close() override { closed = true; }

    std::size_t consumed() const { return position_; }
    int reads = 0;
    bool closed = false;

private:
    std::string bytes_;
    std::size_t position_ = 0;
    long end_;
};

// Records what is written. Each write takes at most `maxPerWrite` bytes;
// `results` scripts the answers of the first writes (a positive entry is
// capped by the bytes offered; 0 and -1 are returned as they are).
class MemoryOutputStream final : public OutputStream {
public:
    void open() override {}
    long write(const std::uint8_t* bytes, std::size_t maxLength) override {
        ++writes;
        std::size_t n = std::min(maxLength, maxPerWrite);
        if (!results.empty()) {
            long scripted = results.front();
            results.pop_front();
            if (scripted < 1) return scripted;
            n = std::min(n, static_cast<std::size_t>(scripted));
        }
        written.append(reinterpret_cast<const char*>(bytes), n);
        return static_cast<long>(n);
    }
    void close() override { closed = true; }

    // The lines written so far, without their "\n".
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        std::size_t start = 0;
        for (std::size_t i = 0; i < written.size(); ++i) {
            if (written[i] == '\n') {
                out.push_back(written.substr(start, i - start));
                start = i + 1;
            }
        }
        return out;
    }

    std::string written;
    std::size_t maxPerWrite = static_cast<std::size_t>(-1);
    std::deque<long> results;
    int writes = 0;
    bool closed = false;
};

} // namespace olvek::testing
