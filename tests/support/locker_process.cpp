#include "support/locker_process.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

void CloseFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// Reads what the helper prints until it says "locked", it ends, or 20 s pass.
bool WaitForLocked(int fd, std::string& said) {
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20000) <= 0) {
            return false;
        }
        char buffer[64];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        said.append(buffer, static_cast<std::size_t>(n));
        if (said.find("locked\n") != std::string::npos) {
            return true;
        }
    }
}

} // namespace

LockerProcess::~LockerProcess() {
    Release();
}

bool LockerProcess::Lock(const std::string& helper, const std::string& database,
                         std::string& error) {
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        CloseFd(in[0]);
        CloseFd(in[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    char* const argv[] = {const_cast<char*>(helper.c_str()), const_cast<char*>(database.c_str()),
                          nullptr};
    const int rc = ::posix_spawn(&pid_, helper.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    CloseFd(in[0]);
    CloseFd(out[1]);
    to_child_ = in[1];
    if (rc != 0) {
        pid_ = -1;
        error = std::strerror(rc);
        CloseFd(to_child_);
        CloseFd(out[0]);
        return false;
    }
    std::string said;
    const bool locked = WaitForLocked(out[0], said);
    CloseFd(out[0]);
    if (!locked) {
        error = "the helper did not take the lock: " + said;
        Release();
    }
    return locked;
}

bool LockerProcess::Release() {
    CloseFd(to_child_);
    if (pid_ < 0) {
        return false;
    }
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
