#include "json_writer.h"

#include <nlohmann/json.hpp>

namespace olvek {

std::optional<std::string> serializeJsonObject(const TextObject& object) {
    nlohmann::ordered_json json = nlohmann::ordered_json::object();
    for (const auto& [key, value] : object) json[key] = value;
    try {
        // Strict handling: invalid UTF-8 throws instead of being replaced.
        return json.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::strict);
    } catch (const nlohmann::ordered_json::exception&) {
        return std::nullopt;
    }
}

} // namespace olvek
