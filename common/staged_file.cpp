#include "common/staged_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "common/text.h"

bool TStagedFile::Create(const std::string& target) {
    Discard();
    target_ = target;
    std::string temp = target + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        error_ = target + ": " + GetLastErrorText();
        return false;
    }
    // mkostemp makes the file private: it gets the permissions of the file it replaces, or
    // those of an ordinary file (the umask is not read, as reading it sets it for every thread).
    struct stat st {};
    ::fchmod(fd, ::stat(target.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644);
    ::close(fd);
    temp_ = std::move(temp);
    return true;
}

bool TStagedFile::Commit() {
    if (temp_.empty()) {
        return false;
    }
    const int fd = ::open(temp_.c_str(), O_RDONLY | O_CLOEXEC);
    bool done = fd >= 0 && ::fsync(fd) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    done = done && ::rename(temp_.c_str(), target_.c_str()) == 0;
    if (!done) {
        error_ = target_ + ": " + GetLastErrorText();
        Discard();
        return false;
    }
    temp_.clear();
    return true;
}

void TStagedFile::Discard() {
    if (!temp_.empty()) {
        ::unlink(temp_.c_str());
        temp_.clear();
    }
}

bool IsSameFile(const std::string& a, const std::string& b) {
    struct stat sa {};
    struct stat sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}
