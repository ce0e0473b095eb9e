#include "ui/settings/setup_options.h"

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
