#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <type_traits>

// A value with one writer thread and any number of reader threads, where the writer must
// never wait: readers copy it word by word and retry when a write overlapped their copy.
template <typename T>
class TSeqlocked {
    static_assert(std::is_trivially_copyable_v<T>);
    static constexpr std::size_t WORDS = (sizeof(T) + 7) / 8;

public:
    TSeqlocked() { Set(T{}); }

    // Only the owning writer thread calls Set.
    void Set(const T& value) {
        std::array<std::uint64_t, WORDS> words{};
        std::memcpy(words.data(), &value, sizeof(T));
        const std::uint32_t seq = seq_.load(std::memory_order_relaxed);
        seq_.store(seq + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        for (std::size_t i = 0; i < WORDS; ++i) {
            words_[i].store(words[i], std::memory_order_relaxed);
        }
        seq_.store(seq + 2, std::memory_order_release);
    }

    T Get() const {
        std::array<std::uint64_t, WORDS> words{};
        for (;;) {
            const std::uint32_t before = seq_.load(std::memory_order_acquire);
            for (std::size_t i = 0; i < WORDS; ++i) {
                words[i] = words_[i].load(std::memory_order_relaxed);
            }
            std::atomic_thread_fence(std::memory_order_acquire);
            if ((before & 1) == 0 && seq_.load(std::memory_order_relaxed) == before) {
                break;
            }
        }
        T value;
        std::memcpy(&value, words.data(), sizeof(T));
        return value;
    }

private:
    std::atomic<std::uint32_t> seq_{0};
    std::array<std::atomic<std::uint64_t>, WORDS> words_{};
};
