#include "support/tiny_disk.h"

#include <sys/mount.h>
#include <sys/stat.h>

TinyDisk::TinyDisk(const std::string& folder) : folder_(folder) {
    mounted_ = ::mkdir(folder.c_str(), 0700) == 0 &&
               ::mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=320k") == 0;
}

TinyDisk::~TinyDisk() {
    if (mounted_) {
        ::umount2(folder_.c_str(), MNT_DETACH);
    }
}
