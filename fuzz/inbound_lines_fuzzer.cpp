// Inbound bytes through the line reader, the end marker and the audio line
// decoder. Checks that every line is exactly the bytes between line feeds with
// carriage returns removed, that reading stops where an invalid line stands,
// and that a decoded buffer holds exactly half the decoded bytes.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fakes/memory_streams.h"
#include "hostlink/audio_line.h"
#include "hostlink/line_transport.h"
#include "platform/base64.h"
#include "platform/utf8.h"

#include "fuzz_check.h"

using olvek::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace olvek;
    std::string bytes(reinterpret_cast<const char*>(data), size);
    if (!format) format = createAudioFormat();
    // The first byte picks how the stream ends: cleanly or with an error.
    long endResult = size > 0 && (data[0] & 1) ? -1 : 0;
    socketInputStream = std::make_shared<testing::MemoryInputStream>(bytes, endResult);

    std::size_t position = 0;
    for (;;) {
        auto line = readSocketLine();
        // The reference: the next line is everything up to the next "\n".
        std::size_t newline = bytes.find('\n', position);
        bool terminated = newline != std::string::npos;
        std::string raw = bytes.substr(position, terminated ? newline - position : std::string::npos);
        std::string expected;
        for (char c : raw) {
            if (c != '\r') expected.push_back(c);
        }
        bool expectLine = isValidUtf8(expected) && (terminated || (!expected.empty() && endResult == 0));
        check(line.has_value() == expectLine);
        if (!line) break;
        check(*line == expected);
        position = terminated ? newline + 1 : bytes.size();
        if (*line == "__END__") continue;
        auto buffer = decodeAudioLine(*line);
        auto decoded = decodeBase64(*line);
        if (!decoded || decoded->size() < 2) {
            check(!buffer);
            continue;
        }
        check(buffer != nullptr);
        check(buffer->frameLength() == decoded->size() / 2);
        check(buffer->frameCapacity() == decoded->size() / 2);
        for (std::size_t i = 0; i < buffer->frameLength(); ++i) {
            auto sample = static_cast<std::uint16_t>(buffer->int16ChannelData()[i]);
            check(sample == ((*decoded)[2 * i] | ((*decoded)[2 * i + 1] << 8)));
        }
    }
    socketInputStream.reset();
    return 0;
}
