#pragma once

#include <string>
#include <sys/types.h>

// Another process holding a database file locked (the db_locker helper), started with
// posix_spawn and ended by closing its standard input.
class LockerProcess {
public:
    LockerProcess() = default;
    ~LockerProcess();
    LockerProcess(const LockerProcess&) = delete;
    LockerProcess& operator=(const LockerProcess&) = delete;

    // Starts `helper` on `database` and waits (up to 20 s) until it says it holds the lock.
    bool Lock(const std::string& helper, const std::string& database, std::string& error);
    // Lets the helper end and waits for it; true when it ended normally.
    bool Release();

private:
    pid_t pid_ = -1;
    int to_child_ = -1;
};
