#include "buslink/comp32.h"

#include "common/clock.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <utility>

namespace {

// Only one close runs at a time in the process.
std::mutex& CloseLock() {
    static std::mutex lock;
    return lock;
}

} // namespace

TComp32::TComp32(std::string ports_dir, ISerialSys& sys)
    : sys_(sys), ports_dir_(std::move(ports_dir)) {}

TComp32::~TComp32() {
    Close();
}

std::string TComp32::PortPath(std::uint8_t port) const {
    if (port == 0) {
        return {};
    }
    if (!ports_dir_.empty()) {
        const std::filesystem::path link =
            std::filesystem::path(ports_dir_) / ("com" + std::to_string(port));
        std::error_code ec;
        if (std::filesystem::is_symlink(link, ec) || std::filesystem::exists(link, ec)) {
            return link.string();
        }
    }
    if (port <= 32) {
        return "/dev/ttyS" + std::to_string(port - 1);
    }
    if (port <= 64) {
        return "/dev/ttyUSB" + std::to_string(port - 33);
    }
    if (port <= 96) {
        return "/dev/ttyACM" + std::to_string(port - 65);
    }
    return {};
}

bool TComp32::Fail() {
    last_error_ = errno;
    return false;
}

bool TComp32::Open(std::uint8_t port, std::uint32_t baud) {
    if (open_) {
        Close();
    }
    failed_ = false;
    port_name_ = PortPath(port);
    if (port_name_.empty()) {
        last_error_ = ENOENT;
        return false;
    }
    fd_ = sys_.Open(port_name_.c_str());
    if (fd_ < 0) {
        return Fail();
    }
    open_ = true;
    if (sys_.LockExclusive(fd_) != 0 || sys_.Configure(fd_, baud) != 0 ||
        !Purge(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) {
        Fail();
        const int error = last_error_;
        Close();
        last_error_ = error;
        return false;
    }
    held_port_.store(port, std::memory_order_release);
    return true;
}

bool TComp32::Close() {
    std::lock_guard<std::mutex> guard(CloseLock());
    bool result = true;
    if (open_) {
        Purge(PURGE_TXABORT | PURGE_RXABORT);
        if (sys_.Close(fd_) != 0) {
            result = Fail();
        }
    }
    fd_ = -1;
    open_ = false;
    held_port_.store(0, std::memory_order_release);
    return result;
}

int TComp32::QueuedBytes() {
    return open_ ? std::max(sys_.Queued(fd_), 0) : 0;
}

bool TComp32::Probe(std::uint8_t port) {
    return ProbeState(port) == TPortState::Free;
}

TPortState TComp32::ProbeState(std::uint8_t port, int* error, int* kernel_rs485) {
    int code = 0;
    int rs485 = -1;
    TPortState state = TPortState::Free;
    const std::string path = PortPath(port);
    if (path.empty()) {
        code = ENOENT;
    } else if (const int fd = sys_.Open(path.c_str()); fd < 0) {
        code = errno;
    } else {
        if (sys_.LockExclusive(fd) != 0) {
            code = errno;
        } else if (kernel_rs485 != nullptr) {
            TKernelRs485 config;
            rs485 = sys_.GetRs485(fd, config) == 0 ? 1 : 0;
        }
        if (sys_.Close(fd) != 0 && code == 0) {
            code = errno;
        }
    }
    if (code != 0) {
        state = StateOfError(code);
    }
    if (error != nullptr) {
        *error = code;
    }
    if (kernel_rs485 != nullptr) {
        *kernel_rs485 = rs485;
    }
    return state;
}

TPortState TComp32::StateOfError(int error) {
    switch (error) {
    case EWOULDBLOCK: // the lock of another descriptor
    case EBUSY:       // TIOCEXCL of another user
        return TPortState::Busy;
    case EACCES:
    case EPERM:
        return TPortState::NoAccess;
    default: // ENOENT, ENXIO, ENODEV, EIO (a tty with no hardware behind it) and the rest
        return TPortState::Absent;
    }
}

const char* TComp32::StateText(TPortState state) {
    switch (state) {
    case TPortState::Free:
        return "свободен";
    case TPortState::Busy:
        return "занят другой программой";
    case TPortState::NoAccess:
        return "нет доступа";
    case TPortState::Absent:
        break;
    }
    return "нет устройства";
}

std::string TComp32::PortPathText(std::uint8_t port) const {
    const std::string path = PortPath(port);
    if (path.empty()) {
        // No device name stands for the number: the link the operator is to make is the place.
        return port == 0
                   ? path
                   : (std::filesystem::path(ports_dir_) / ("com" + std::to_string(port))).string();
    }
    std::error_code ec;
    if (!std::filesystem::is_symlink(path, ec)) {
        return path;
    }
    const std::filesystem::path target = std::filesystem::read_symlink(path, ec);
    return ec ? path : path + " -> " + target.string();
}

bool TComp32::Purge(int flags) {
    if (!open_) {
        return false;
    }
    // Nothing is ever pending here (reads and writes complete before they return), so the
    // abort flags have nothing to abort; the clear flags empty the driver's queues.
    const bool tx = (flags & PURGE_TXCLEAR) != 0;
    const bool rx = (flags & PURGE_RXCLEAR) != 0;
    if (!tx && !rx) {
        return true;
    }
    const int queue = tx && rx ? TCIOFLUSH : (tx ? TCOFLUSH : TCIFLUSH);
    return sys_.Flush(fd_, queue) == 0 || Fail();
}

bool TComp32::SetDtr(bool on) {
    return open_ && (sys_.SetModemLine(fd_, TIOCM_DTR, on) == 0 || Fail());
}

bool TComp32::SetRts(bool on) {
    return open_ && (sys_.SetModemLine(fd_, TIOCM_RTS, on) == 0 || Fail());
}

bool TComp32::SetKernelRs485(TKernelRs485& config) {
    return open_ && (sys_.SetRs485(fd_, config) == 0 || Fail());
}

void TComp32::SleepRest(std::uint64_t started, int timeout_ms) {
    const std::uint64_t elapsed = GetMsTime() - started;
    if (timeout_ms > 0 && elapsed < static_cast<std::uint64_t>(timeout_ms)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms - elapsed));
    }
}

bool TComp32::Read(std::uint8_t* buffer, int size, int timeout_ms, int& got) {
    if (!open_) {
        return false;
    }
    got = 0;
    const std::uint64_t started = GetMsTime();
    const int ready = sys_.WaitReadable(fd_, timeout_ms);
    if (ready == 0) {
        return false;
    }
    const int queued = ready > 0 ? sys_.Queued(fd_) : -1;
    if (queued <= 0) {
        // Readable with nothing queued is the end of file of a hung-up device.
        last_error_ = ready < 0 || queued < 0 ? errno : EIO;
        failed_ = true;
        SleepRest(started, timeout_ms);
        return false;
    }
    if (queued > size) {
        return false;
    }
    const ssize_t n = sys_.Read(fd_, buffer, static_cast<std::size_t>(queued));
    if (n <= 0) {
        last_error_ = n < 0 ? errno : EIO;
        failed_ = true;
        SleepRest(started, timeout_ms);
        return false;
    }
    got = static_cast<int>(n);
    return true;
}

bool TComp32::Write(const std::uint8_t* data, int& written, int length) {
    if (!open_) {
        return false;
    }
    written = 0;
    while (written < length) {
        const ssize_t n =
            sys_.Write(fd_, data + written, static_cast<std::size_t>(length - written));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return Fail();
        }
        written += static_cast<int>(n);
    }
    // The direction is switched back right after this returns: the frame must be on the wire.
    return sys_.Drain(fd_) == 0 || Fail();
}

std::uint64_t TComp32::GetMsTime() {
    return TSteadyClock().NowMs();
}
