#pragma once

// The hand-off of device changes from the bus thread to the MQTT publisher: one bit per place
// in the device table, set by the bus thread and taken by the publisher, which then reads the
// device's present state from the table. Bounded (one word), coalescing (any number of changes
// of a device is one bit: the latest state wins) and never blocking: the bus thread sets the
// bit and writes the counter of an eventfd that the publisher polls, and neither waits.
// Created before the device service and destroyed after it.

#include "device/change_sink.h"

#include <atomic>
#include <cstdint>

class TStateChanges final : public TDeviceChangeSink {
public:
    TStateChanges();
    ~TStateChanges() override;
    TStateChanges(const TStateChanges&) = delete;
    TStateChanges& operator=(const TStateChanges&) = delete;

    // The bus thread.
    void DeviceChanged(int index) override;

    // The publisher: the places changed since the last call (bit i: place i); the eventfd is
    // drained with them. Fd() is readable while changes wait (-1 when it could not be made:
    // the publisher then finds them at its next periodic look).
    std::uint64_t Take();
    int Fd() const { return fd_; }
    // Marks every place changed, for a publisher that (re)connects.
    void All() { changed_.store(~std::uint64_t{0}, std::memory_order_release); }

private:
    std::atomic<std::uint64_t> changed_{0};
    int fd_ = -1;
};
