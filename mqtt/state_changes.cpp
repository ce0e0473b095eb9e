#include "mqtt/state_changes.h"

#include <sys/eventfd.h>
#include <unistd.h>

TStateChanges::TStateChanges() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

TStateChanges::~TStateChanges() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

void TStateChanges::DeviceChanged(int index) {
    if (index < 0 || index >= 64) {
        return;
    }
    changed_.fetch_or(std::uint64_t{1} << index, std::memory_order_acq_rel);
    if (fd_ >= 0) {
        // Non-blocking: a full counter (never in practice) only means a wake is already due.
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(fd_, &one, sizeof one);
    }
}

std::uint64_t TStateChanges::Take() {
    if (fd_ >= 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t got = read(fd_, &count, sizeof count);
    }
    return changed_.exchange(0, std::memory_order_acq_rel);
}
