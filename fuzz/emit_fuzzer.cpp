// emit with arbitrary key and value bytes: one valid JSON line holding exactly
// those texts, or nothing at all; never two lines.
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "fakes/memory_streams.h"
#include "hostlink/event_messages.h"
#include "hostlink/line_transport.h"
#include "platform/utf8.h"

#include "fuzz_check.h"

using olvek::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace olvek;
    std::string input(reinterpret_cast<const char*>(data), size);
    // Key and value are split at the first NUL; a NUL later is part of the value.
    std::size_t split = input.find('\0');
    std::string key = split == std::string::npos ? "text" : input.substr(0, split);
    std::string value = split == std::string::npos ? input : input.substr(split + 1);

    auto output = std::make_shared<testing::MemoryOutputStream>();
    socketOutputStream = output;
    Event event{{"type", "partial"}, {key, value}};
    emit(event);
    socketOutputStream.reset();

    bool serialisable = isValidUtf8(key) && isValidUtf8(value);
    if (!serialisable) {
        check(output->written.empty());
        return 0;
    }
    check(!output->written.empty());
    check(output->written.back() == '\n');
    check(output->written.find('\n') == output->written.size() - 1);
    auto parsed = nlohmann::json::parse(output->written.substr(0, output->written.size() - 1), nullptr, false);
    check(parsed.is_object());
    check(parsed.contains(key) && parsed[key] == value);
    if (key != "type") check(parsed["type"] == "partial");
    return 0;
}
