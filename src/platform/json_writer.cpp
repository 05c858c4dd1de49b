#include "json_writer.h"

#include <nlohmann/json.hpp>

namespace olvek {

namespace {

nlohmann::ordered_json flatObject(const TextObject& object) {
    nlohmann::ordered_json json = nlohmann::ordered_json::object();
    for (const auto& [key, value] : object) json[key] = value;
    return json;
}

std::optional<std::string> compact(const nlohmann::ordered_json& json) {
    try {
        // Strict handling: invalid UTF-8 throws instead of being replaced.
        return json.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::strict);
    } catch (const nlohmann::ordered_json::exception&) {
        return std::nullopt;
    }
}

} // namespace

std::optional<std::string> serializeJsonObject(const JsonObject& object) {
    nlohmann::ordered_json json = nlohmann::ordered_json::object();
    for (const auto& [key, value] : object) {
        if (const auto* text = std::get_if<std::string>(&value)) {
            json[key] = *text;
        } else {
            nlohmann::ordered_json list = nlohmann::ordered_json::array();
            for (const TextObject& member : std::get<std::vector<TextObject>>(value)) list.push_back(flatObject(member));
            json[key] = std::move(list);
        }
    }
    return compact(json);
}

} // namespace olvek
