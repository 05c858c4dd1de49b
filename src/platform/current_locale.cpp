#include "current_locale.h"

#include <cstdlib>

#include "platform/utf8.h"

namespace olvek {

std::string currentLocaleIdentifier() {
    std::string name;
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0') {
            name = value;
            break;
        }
    }
    name = name.substr(0, name.find_first_of(".@"));
    if (name.empty() || name == "C" || name == "POSIX") return "en_US_POSIX";
    return repairUtf8(name);
}

} // namespace olvek
