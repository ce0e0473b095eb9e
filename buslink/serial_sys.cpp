#include "buslink/serial_sys.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

speed_t SpeedCode(std::uint32_t baud) {
    switch (baud) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    default:
        return B0;
    }
}

} // namespace

int TPosixSerialSys::Open(const char* path) {
    // Non-blocking only for the open itself, so a port without carrier cannot hang it.
    return ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

int TPosixSerialSys::Close(int fd) {
    // A pseudo-terminal keeps TIOCEXCL past its last close while the master lives, which would
    // lock every unprivileged user (the operator) out of the simulator's port for good.
    ::ioctl(fd, TIOCNXCL);
    return ::close(fd);
}

int TPosixSerialSys::LockExclusive(int fd) {
    // TIOCEXCL keeps other users out but not root; flock holds for root too. Only the lock is
    // required: some tty drivers refuse TIOCEXCL.
    ::ioctl(fd, TIOCEXCL);
    return ::flock(fd, LOCK_EX | LOCK_NB);
}

int TPosixSerialSys::Configure(int fd, std::uint32_t baud) {
    const speed_t speed = SpeedCode(baud);
    if (speed == B0) {
        errno = EINVAL;
        return -1;
    }
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        return -1;
    }
    // Raw binary 8N1; hardware flow control stays as the driver had it. No software flow
    // control in either direction: with IXOFF the driver itself would put XOFF/XON bytes on the
    // shared bus when its input queue fills, and IXANY would let any byte restart output.
    const tcflag_t flow = tio.c_cflag & CRTSCTS;
    ::cfmakeraw(&tio);
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD | flow;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0) {
        return -1;
    }
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) {
        return -1;
    }
    return ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

int TPosixSerialSys::Flush(int fd, int queue) {
    return ::tcflush(fd, queue);
}

int TPosixSerialSys::SetModemLine(int fd, int line, bool on) {
    return ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line);
}

int TPosixSerialSys::WaitReadable(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    int r = 0;
    do {
        r = ::poll(&p, 1, timeout_ms);
    } while (r < 0 && errno == EINTR);
    if (r <= 0) {
        return r;
    }
    if ((p.revents & POLLIN) != 0) {
        return 1;
    }
    // POLLHUP, POLLERR or POLLNVAL: the device went away.
    errno = (p.revents & POLLNVAL) != 0 ? EBADF : EIO;
    return -1;
}

int TPosixSerialSys::Queued(int fd) {
    int n = 0;
    if (::ioctl(fd, FIONREAD, &n) != 0) {
        return -1;
    }
    return n;
}

ssize_t TPosixSerialSys::Read(int fd, void* buffer, std::size_t size) {
    return ::read(fd, buffer, size);
}

ssize_t TPosixSerialSys::Write(int fd, const void* data, std::size_t size) {
    return ::write(fd, data, size);
}

int TPosixSerialSys::Drain(int fd) {
    return ::tcdrain(fd);
}

int ISerialSys::GetRs485(int, TKernelRs485&) {
    errno = ENOTTY;
    return -1;
}

int ISerialSys::SetRs485(int, TKernelRs485&) {
    errno = ENOTTY;
    return -1;
}

namespace {

void FromKernel(const serial_rs485& rs485, TKernelRs485& config) {
    config.enabled = (rs485.flags & SER_RS485_ENABLED) != 0;
    config.rts_on_send = (rs485.flags & SER_RS485_RTS_ON_SEND) != 0;
    config.delay_before_ms = rs485.delay_rts_before_send;
    config.delay_after_ms = rs485.delay_rts_after_send;
}

} // namespace

int TPosixSerialSys::GetRs485(int fd, TKernelRs485& config) {
    serial_rs485 rs485{};
    if (::ioctl(fd, TIOCGRS485, &rs485) != 0) {
        return -1;
    }
    FromKernel(rs485, config);
    return 0;
}

int TPosixSerialSys::SetRs485(int fd, TKernelRs485& config) {
    // The driver's other flags (receiving during a transmission, bus termination) stay.
    serial_rs485 rs485{};
    if (::ioctl(fd, TIOCGRS485, &rs485) != 0) {
        return -1;
    }
    rs485.flags &= ~static_cast<std::uint32_t>(SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND |
                                               SER_RS485_RTS_AFTER_SEND);
    if (config.enabled) {
        rs485.flags |= SER_RS485_ENABLED |
                       (config.rts_on_send ? SER_RS485_RTS_ON_SEND : SER_RS485_RTS_AFTER_SEND);
    }
    rs485.delay_rts_before_send = config.delay_before_ms;
    rs485.delay_rts_after_send = config.delay_after_ms;
    if (::ioctl(fd, TIOCSRS485, &rs485) != 0) {
        return -1;
    }
    FromKernel(rs485, config);
    return 0;
}

TPosixSerialSys& TPosixSerialSys::Instance() {
    static TPosixSerialSys sys;
    return sys;
}
