#pragma once

#include <string>

// A file written under a temporary name beside its target and renamed over it only once it is
// complete, so a failed or cancelled write leaves no half-written file under the target's name
// and an existing file there stays as it was. Discarded at destruction unless committed.
class TStagedFile {
public:
    // Reserves "<target>.XXXXXX" in the target's folder; false (`Error` says why) when the
    // folder cannot take a file.
    bool Create(const std::string& target);
    // The temporary file to write, empty before Create.
    const std::string& TempPath() const { return temp_; }
    // Puts the written file on the disk and renames it to the target; on false it is removed.
    bool Commit();
    // Removes the temporary file; nothing happens after a commit.
    void Discard();
    const std::string& Error() const { return error_; }

    TStagedFile() = default;
    ~TStagedFile() { Discard(); }
    TStagedFile(const TStagedFile&) = delete;
    TStagedFile& operator=(const TStagedFile&) = delete;

private:
    std::string target_;
    std::string temp_;
    std::string error_;
};

// Whether two paths name one file (the same device and inode); false when either is missing.
bool IsSameFile(const std::string& a, const std::string& b);
