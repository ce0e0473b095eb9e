#pragma once

#include <string>

// The folders the program's files are in. The home holds the files that change: the settings
// (ktev.ini), the log (ktev.log), default.db and ports/. The data folder holds the installed
// read-only ones, the catalogue and sound/; a site's own copy of either in the home is used
// before it. Without a home named the home is the program's own folder, as in a build folder.
struct TProgramHome {
    std::string dir;
    std::string data;
    // The settings file and the log are this plus ".ini" and ".log": "<home>/ktev", or the
    // program's own path when no home is named.
    std::string base_path;

    // The folder whose TevMessages.ini is read: the home's when it has one, else the data
    // folder's when that has one, else the home (whose missing file is then reported).
    std::string CatalogueDir() const;
    // A sound file named relative to the program's files ("sound/alarm.wav"): the home's, else
    // the data folder's, else the name as given (relative to the working folder).
    std::string SoundFile(const std::string& file) const;
};

// The data folder of a program installed as "<prefix>/bin/ktev": "<prefix>/share/ktev". Found
// from the program's own path, so an unpacked package works wherever it lies.
std::string InstalledDataDir(const std::string& program_path);

// The home `named` (--home) gives, else `env` (KTEV_HOME) when set and not empty, else the
// program's folder; the data folder beside the installed program. A named home is created when
// missing. False, with `error` saying why, when it cannot be created or is not a writable folder.
bool ResolveProgramHome(const std::string& named, const char* env, TProgramHome& home,
                        std::string& error);
