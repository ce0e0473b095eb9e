#pragma once

// What says that a file changed since it was last read: its identity (device and inode), its
// type, its size and its modification time. Taking a stamp costs one stat().

#include <string>

struct TFileStamp {
    bool exists = false;
    bool regular = false;
    unsigned long long device = 0;
    unsigned long long inode = 0;
    long long size = 0;
    long long mtime_sec = 0;
    long long mtime_nsec = 0;

    friend bool operator==(const TFileStamp&, const TFileStamp&) = default;
};

// The file's stamp now; a path that cannot be stat()ed gives the all-zero stamp (not `exists`).
TFileStamp FileStampOf(const std::string& path);
