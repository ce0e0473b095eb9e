#pragma once

#include <string>
#include <vector>

// The XDG autostart entry that starts the program with the user's session:
// "${XDG_CONFIG_HOME:-$HOME/.config}/autostart/ktev.desktop". Written under a temporary name and
// renamed, so a session never reads half an entry.
class TAutostartEntry {
public:
    // The entry's path from the environment; empty when neither variable gives a folder.
    TAutostartEntry();

    const std::string& Path() const { return path_; }
    bool Exists() const;
    // Writes the entry running `command` (the program, then its arguments); false with
    // `error` saying why.
    bool Write(const std::vector<std::string>& command, std::string& error) const;
    // Removes the entry; an entry already gone is no failure.
    bool Remove(std::string& error) const;

    // The desktop entry's Exec value: each argument quoted when it must be, as the desktop
    // entry format asks ("%" doubled, `"`, "`", "$" and "\" escaped inside quotes, and every
    // backslash doubled again as the value is a string).
    static std::string ExecLine(const std::vector<std::string>& command);

private:
    std::string path_;
};
