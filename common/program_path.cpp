#include "common/program_path.h"

#include <climits>
#include <unistd.h>

std::string ProgramPath() {
    char buffer[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof buffer) {
        return "./ktev";
    }
    return std::string(buffer, static_cast<std::size_t>(length));
}

std::string ProgramDir() {
    return DirOf(ProgramPath());
}

std::string DirOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}
