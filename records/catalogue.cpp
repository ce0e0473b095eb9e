#include "records/catalogue.h"

TCatalogueFile::TCatalogueFile(std::string path) : path_(std::move(path)) {}

std::shared_ptr<const TProfileFile> TCatalogueFile::Current() const {
    // Stamped before reading: a change made during the read shows as a new stamp next time.
    const TFileStamp stamp = FileStampOf(path_);
    std::lock_guard lock(lock_);
    if (!file_ || stamp != stamp_) {
        file_ = std::make_shared<const TProfileFile>(path_);
        stamp_ = stamp;
    }
    return file_;
}
