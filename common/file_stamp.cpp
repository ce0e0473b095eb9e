#include "common/file_stamp.h"

#include <sys/stat.h>

TFileStamp FileStampOf(const std::string& path) {
    TFileStamp stamp;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        stamp.exists = true;
        stamp.regular = S_ISREG(st.st_mode);
        stamp.device = st.st_dev;
        stamp.inode = st.st_ino;
        stamp.size = st.st_size;
        stamp.mtime_sec = st.st_mtim.tv_sec;
        stamp.mtime_nsec = st.st_mtim.tv_nsec;
    }
    return stamp;
}
