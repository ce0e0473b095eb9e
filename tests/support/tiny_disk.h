#pragma once

#include <string>

// A tmpfs of 320 KiB mounted on a new folder, for as long as the object lives: a disk that
// really fills up. Mounting needs CAP_SYS_ADMIN (root on CI); where it is refused, mounted()
// is false and the test skips.
class TinyDisk {
public:
    explicit TinyDisk(const std::string& folder);
    ~TinyDisk();
    TinyDisk(const TinyDisk&) = delete;
    TinyDisk& operator=(const TinyDisk&) = delete;
    bool mounted() const { return mounted_; }

private:
    std::string folder_;
    bool mounted_ = false;
};
