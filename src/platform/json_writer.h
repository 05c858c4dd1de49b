// Compact JSON serialisation of text objects: the JSON writer stand-in.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace olvek {

// A flat object: every value a text.
using TextObject = std::vector<std::pair<std::string, std::string>>;
// An object whose values are texts or lists of flat objects.
using JsonValue = std::variant<std::string, std::vector<TextObject>>;
using JsonObject = std::vector<std::pair<std::string, JsonValue>>;

// Serialises `object` as one compact JSON object, members in the given order
// (a repeated key keeps its first place and its last value). Characters
// beyond ASCII are written as UTF-8 bytes; quotation mark, backslash and
// control characters are escaped, so the result never holds a line break.
// A key or value that is not valid UTF-8 gives no value.
std::optional<std::string> serializeJsonObject(const JsonObject& object);

} // namespace olvek
