#include "common/autostart_entry.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "common/staged_file.h"
#include "common/text.h"

TAutostartEntry::TAutostartEntry() {
    // The base directory specification ignores a relative XDG_CONFIG_HOME.
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::string folder;
    if (config != nullptr && config[0] == '/') {
        folder = config;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
        folder = std::string(home) + "/.config";
    }
    if (!folder.empty()) {
        path_ = folder + "/autostart/ktev.desktop";
    }
}

bool TAutostartEntry::Exists() const {
    struct stat st {};
    return !path_.empty() && ::stat(path_.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool TAutostartEntry::Write(const std::vector<std::string>& command, std::string& error) const {
    if (path_.empty()) {
        error = "не заданы ни XDG_CONFIG_HOME, ни HOME";
        return false;
    }
    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::path(path_).parent_path();
    std::filesystem::create_directories(folder, ec);
    if (ec) {
        error = folder.string() + ": " + ec.message();
        return false;
    }
    TStagedFile staged;
    if (!staged.Create(path_)) {
        error = staged.Error();
        return false;
    }
    {
        std::ofstream out(staged.TempPath(), std::ios::binary | std::ios::trunc);
        out << "[Desktop Entry]\n"
               "Type=Application\n"
               "Name=Кордея-ТЛ\n"
               "Comment=Рабочее место оператора\n"
               "Exec="
            << ExecLine(command)
            << "\n"
               "Icon=ktev\n"
               "Terminal=false\n"
               "X-GNOME-Autostart-enabled=true\n";
        out.flush();
        if (!out) {
            error = staged.TempPath() + ": " + GetLastErrorText();
            return false;
        }
    }
    if (!staged.Commit()) {
        error = staged.Error();
        return false;
    }
    return true;
}

bool TAutostartEntry::Remove(std::string& error) const {
    if (path_.empty() || ::unlink(path_.c_str()) == 0 || errno == ENOENT) {
        return true;
    }
    error = path_ + ": " + GetLastErrorText();
    return false;
}

std::string TAutostartEntry::ExecLine(const std::vector<std::string>& command) {
    constexpr std::string_view reserved = " \t\n\"'\\><~|&;$*?#()`";
    std::string line;
    for (const std::string& argument : command) {
        if (!line.empty()) {
            line += ' ';
        }
        const bool quote =
            argument.empty() || argument.find_first_of(reserved) != std::string::npos;
        if (quote) {
            line += '"';
        }
        for (const char c : argument) {
            if (c == '%') {
                line += "%%";
                continue;
            }
            if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) {
                line += '\\';
            }
            line += c;
        }
        if (quote) {
            line += '"';
        }
    }
    // The value is a string first, whose own escapes come off before the quoting is read.
    std::string value;
    for (const char c : line) {
        value += c;
        if (c == '\\') {
            value += c;
        }
    }
    return value;
}
