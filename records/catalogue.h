#pragma once

// The message catalogue file, parsed once and kept in memory. Every look re-reads it only
// when the file on disk changed (size, modification time or identity), so an edit still
// shows at the next formatting while an unchanged file costs one stat() per look.

#include <memory>
#include <mutex>
#include <string>

#include "common/file_stamp.h"
#include "common/profile_file.h"

class TCatalogueFile {
public:
    explicit TCatalogueFile(std::string path);

    const std::string& GetPath() const { return path_; }

    // The file as it is now. Any thread may call it; the snapshot handed out is never changed,
    // so the caller reads it without a lock for as long as it holds it.
    std::shared_ptr<const TProfileFile> Current() const;

private:
    std::string path_;
    mutable std::mutex lock_;
    mutable TFileStamp stamp_;
    mutable std::shared_ptr<const TProfileFile> file_;
};
