#pragma once

#include <string>

// A tmpfs of a few hundred kilobytes mounted on a new folder, for as long as the object lives:
// a disk that fills up. Mounting needs CAP_SYS_ADMIN; without it mounted() is false and the
// test skips.
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
