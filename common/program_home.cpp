#include "common/program_home.h"

#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "common/program_path.h"

namespace {

bool HasFile(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec);
}

} // namespace

std::string TProgramHome::CatalogueDir() const {
    constexpr const char* name = "/TevMessages.ini";
    if (!HasFile(dir + name) && !data.empty() && HasFile(data + name)) {
        return data;
    }
    return dir;
}

std::string TProgramHome::SoundFile(const std::string& file) const {
    for (const std::string* folder : {&dir, &data}) {
        if (!folder->empty() && HasFile(*folder + "/" + file)) {
            return *folder + "/" + file;
        }
    }
    return file;
}

std::string InstalledDataDir(const std::string& program_path) {
    const std::string prefix = DirOf(DirOf(program_path));
    return (prefix == "/" ? std::string() : prefix) + "/share/ktev";
}

bool ResolveProgramHome(const std::string& named, const char* env, TProgramHome& home,
                        std::string& error) {
    home.data = InstalledDataDir(ProgramPath());
    std::string dir = named;
    if (dir.empty() && env != nullptr) {
        dir = env;
    }
    if (dir.empty()) {
        home.base_path = ProgramPath();
        home.dir = DirOf(home.base_path);
        return true;
    }
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    // A file in the way fails here too ("Not a directory", "File exists").
    if (ec) {
        error = "папка " + dir + " не создана: " + ec.message();
        return false;
    }
    if (::access(dir.c_str(), W_OK | X_OK) != 0) {
        error = "нет права записи в папку " + dir;
        return false;
    }
    const std::filesystem::path absolute = std::filesystem::absolute(dir, ec);
    home.dir = ec ? dir : absolute.lexically_normal().string();
    while (home.dir.size() > 1 && home.dir.back() == '/') {
        home.dir.pop_back();
    }
    home.base_path = home.dir + "/ktev";
    return true;
}
