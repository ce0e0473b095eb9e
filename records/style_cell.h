#pragma once

// A style that one thread writes while others draw from it: each store and load moves the
// whole style at once, so a reader never sees half of an old style and half of a new one.

#include <atomic>
#include <cstdint>

#include "common/style.h"

static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

class TStyleCell {
public:
    TStyleCell() = default;
    TStyleCell(const TStyleCell&) = delete;
    TStyleCell& operator=(const TStyleCell&) = delete;

    void Store(const TMessageStyle& style) { word_.store(style.Pack(), std::memory_order_relaxed); }
    // Back to the default style.
    void Clear() { Store(TMessageStyle{}); }
    TMessageStyle Load() const {
        return TMessageStyle::Unpack(word_.load(std::memory_order_relaxed));
    }

private:
    std::atomic<std::uint64_t> word_{TMessageStyle{}.Pack()};
};
