#pragma once

#include <linux/capability.h>

// Root writes any file whatever its mode bits; the calling thread gives up that right for as
// long as the object lives, so that a read-only file is read-only to it too. Capabilities
// belong to a thread: other threads keep theirs.
class WithoutFileOverride {
public:
    WithoutFileOverride();
    ~WithoutFileOverride();
    WithoutFileOverride(const WithoutFileOverride&) = delete;
    WithoutFileOverride& operator=(const WithoutFileOverride&) = delete;

private:
    __user_cap_header_struct header_{};
    __user_cap_data_struct saved_[2]{};
    bool changed_ = false;
};
