// A card's settings from the environment. Thread: the host's caller thread.
#include "drivers/common/settings.h"

#include <cstdlib>
#include <cstring>

namespace tonegate_driver {

const char* Setting(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0' ? value : nullptr;
}

bool ReportRequested(const char* cardVariable) {
    const auto on = [](const char* name) {
        const char* value = Setting(name);
        return value != nullptr && std::strcmp(value, "1") == 0;
    };
    return on("TONEGATE_DRIVER_REPORT") || (cardVariable != nullptr && on(cardVariable));
}

}  // namespace tonegate_driver
