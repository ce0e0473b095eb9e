#include "ui/settings/setup_options.h"

#include <string>
#include <type_traits>

TSetupOptions::TSetupOptions() {
    for (const TSetupKey& key : SETUP_KEYS) {
        std::visit(
            [this, &key]<typename T>(T TSetupOptions::*value) {
                // DBFile has no default of its own: the reader gives the program's.
                if constexpr (!std::is_same_v<T, std::string>) {
                    this->*value = static_cast<T>(key.fallback);
                }
            },
            key.value);
    }
}

std::string SetupChangesText(const TSetupOptions& before, const TSetupOptions& after) {
    std::string text;
    for (const TSetupKey& key : SETUP_KEYS) {
        std::visit(
            [&]<typename T>(T TSetupOptions::*value) {
                if (before.*value == after.*value) {
                    return;
                }
                const auto show = [](const T& v) {
                    if constexpr (std::is_same_v<T, std::string>) {
                        return v;
                    } else {
                        return std::to_string(static_cast<std::int32_t>(v));
                    }
                };
                text += (text.empty() ? "" : "; ") + std::string(key.name) + ": " +
                        show(before.*value) + " → " + show(after.*value);
            },
            key.value);
    }
    return text;
}
