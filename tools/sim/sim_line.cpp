#include "sim/sim_line.h"

#include "common/text.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

namespace {

// How long a write waits for a reader that does not drain the line.
constexpr std::int64_t WRITE_STALL_US = 100000;
// A line nobody listens to still takes this long per frame, so a fast pace does not spin.
constexpr std::int64_t NO_LISTENER_US = 10000;

namespace fs = std::filesystem;

timespec Timespec(std::int64_t us) {
    return {static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
}

} // namespace

TSimLine::~TSimLine() {
    Close();
}

bool TSimLine::Open(const std::string& ports_dir, int com, std::string& error) {
    Close();
    if (com < 1 || com > 255) {
        error = "COM number must be 1..255, got " + std::to_string(com);
        return false;
    }
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char name[128] = {};
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
        ::ptsname_r(master_, name, sizeof name) != 0) {
        error = "cannot open a pseudo-terminal: " + GetLastErrorText();
        Close();
        return false;
    }
    slave_path_ = name;
    // Raw mode on the master side is the slave's mode too: no echo of the bus back to itself.
    termios tio{};
    if (::tcgetattr(master_, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::cfsetspeed(&tio, B9600);
        ::tcsetattr(master_, TCSANOW, &tio);
    }
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ < 0) {
        error = "cannot make an event descriptor: " + GetLastErrorText();
        Close();
        return false;
    }
    const fs::path link = fs::path(ports_dir) / ("com" + std::to_string(com));
    std::error_code ec;
    fs::create_directories(ports_dir, ec);
    if (fs::exists(fs::symlink_status(link, ec)) && !fs::is_symlink(link, ec)) {
        error = link.string() + " exists and is not a link";
        Close();
        return false;
    }
    fs::remove(link, ec);
    fs::create_symlink(slave_path_, link, ec);
    if (ec) {
        error = "cannot link " + link.string() + ": " + ec.message();
        Close();
        return false;
    }
    link_path_ = link.string();
    interrupted_ = false;
    decoder_ = TSimDecoder();
    return true;
}

void TSimLine::Close() {
    if (!link_path_.empty()) {
        std::error_code ec;
        if (fs::read_symlink(link_path_, ec) == slave_path_) {
            fs::remove(link_path_, ec);
        }
        link_path_.clear();
    }
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
    if (wake_ >= 0) {
        ::close(wake_);
        wake_ = -1;
    }
    slave_path_.clear();
}

void TSimLine::SetPace(std::int64_t byte_us, std::size_t chunk) {
    byte_us_ = byte_us;
    chunk_ = chunk;
}

void TSimLine::Interrupt() {
    interrupted_ = true;
    if (wake_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
    }
}

short TSimLine::Wait(short events, std::int64_t us) {
    pollfd fds[2] = {{master_, events, 0}, {wake_, POLLIN, 0}};
    const timespec timeout = Timespec(us);
    if (::ppoll(fds, 2, &timeout, nullptr) <= 0) {
        return 0;
    }
    return fds[0].revents;
}

void TSimLine::Transmit(const TBytes& bytes) {
    const std::size_t step = chunk_ == 0 ? bytes.size() : chunk_;
    for (std::size_t at = 0; at < bytes.size() && !interrupted_; at += step) {
        const std::size_t n = std::min(step, bytes.size() - at);
        const std::int64_t wire_us = static_cast<std::int64_t>(n) * byte_us_;
        if (WriteAll(bytes.data() + at, n)) {
            bytes_sent_ += n;
            Idle(wire_us);
        } else {
            Idle(std::max(wire_us, NO_LISTENER_US));
        }
    }
}

bool TSimLine::WriteAll(const std::uint8_t* data, std::size_t n) {
    while (n > 0 && !interrupted_) {
        const ssize_t written = ::write(master_, data, n);
        if (written > 0) {
            data += written;
            n -= static_cast<std::size_t>(written);
        } else if (written < 0 && errno == EAGAIN) {
            const short revents = Wait(POLLOUT, WRITE_STALL_US);
            if ((revents & POLLOUT) == 0) {
                return false;
            }
        } else if (written == 0 || errno != EINTR) {
            return false;
        }
    }
    return n == 0;
}

void TSimLine::ReadAvailable() {
    std::uint8_t buffer[4096];
    while (true) {
        const ssize_t n = ::read(master_, buffer, sizeof buffer);
        if (n <= 0) {
            return;
        }
        if (echo_) {
            WriteAll(buffer, static_cast<std::size_t>(n));
        }
        decoder_.Feed(buffer, static_cast<std::size_t>(n));
        last_input_ = std::chrono::steady_clock::now();
    }
}

void TSimLine::Idle(std::int64_t us, bool until_input) {
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + microseconds(us);
    while (true) {
        ReadAvailable();
        if ((until_input && decoder_.HasResult()) || interrupted_) {
            return;
        }
        const std::int64_t left =
            duration_cast<microseconds>(deadline - steady_clock::now()).count();
        if (left <= 0) {
            return;
        }
        const short revents = Wait(POLLIN, left);
        if ((revents & POLLHUP) != 0 && (revents & POLLIN) == 0) {
            // Nobody has the port open: nothing can arrive, only an interrupt ends the wait.
            pollfd wake{wake_, POLLIN, 0};
            const timespec timeout = Timespec(left);
            ::ppoll(&wake, 1, &timeout, nullptr);
            return;
        }
    }
}

void TSimLine::FlushQuietInput(int quiet_ms) {
    if (decoder_.HasPartial() &&
        std::chrono::steady_clock::now() - last_input_ >= std::chrono::milliseconds(quiet_ms)) {
        decoder_.Flush();
    }
}
