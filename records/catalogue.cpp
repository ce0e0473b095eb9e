#include "records/catalogue.h"

#include <sys/stat.h>

TCatalogueFile::TCatalogueFile(std::string path) : path_(std::move(path)) {}

TCatalogueFile::TStamp TCatalogueFile::StampOf(const std::string& path) {
    TStamp stamp;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        stamp.exists = true;
        stamp.device = st.st_dev;
        stamp.inode = st.st_ino;
        stamp.size = st.st_size;
        stamp.mtime_sec = st.st_mtim.tv_sec;
        stamp.mtime_nsec = st.st_mtim.tv_nsec;
    }
    return stamp;
}

std::shared_ptr<const TProfileFile> TCatalogueFile::Current() const {
    // Stamped before reading: a change made during the read shows as a new stamp next time.
    const TStamp stamp = StampOf(path_);
    std::lock_guard lock(lock_);
    if (!file_ || !(stamp == stamp_)) {
        file_ = std::make_shared<const TProfileFile>(path_);
        stamp_ = stamp;
    }
    return file_;
}
