#pragma once

#include <cstdint>

// A millisecond clock of which only differences count. The core takes it where a test must
// move time on by hand; the program's own is TSteadyClock.
class TClock {
public:
    virtual ~TClock() = default;

    virtual std::uint64_t NowMs() const = 0;
};

// The monotonic clock: a time correction never moves it.
class TSteadyClock final : public TClock {
public:
    std::uint64_t NowMs() const override;
};
