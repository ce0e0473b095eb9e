#pragma once

#include <atomic>

// A table field written by the bus cycle thread and read by the window and tree threads. Each
// access is one indivisible load or store; nothing orders two fields, as none needs it.
template <typename T>
class TShared {
public:
    TShared() = default;
    TShared(const TShared&) = delete;
    TShared& operator=(const TShared&) = delete;

    operator T() const { return value_.load(std::memory_order_relaxed); }
    TShared& operator=(T value) {
        value_.store(value, std::memory_order_relaxed);
        return *this;
    }

private:
    std::atomic<T> value_{};
};
