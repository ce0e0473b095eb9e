#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

// The kernel's own RS-485 direction control of a UART driver (TIOCGRS485/TIOCSRS485): the
// driver drives RTS for the line driver around every transmission by itself.
struct TKernelRs485 {
    bool enabled = false;
    bool rts_on_send = false; // RTS asserted while sending (else asserted after it)
    std::uint32_t delay_before_ms = 0;
    std::uint32_t delay_after_ms = 0;
};

// The operating-system calls under the serial port, one virtual per call. The port uses the
// POSIX one; tests put a recording fake here to see the modem-line sequence around a frame,
// which pseudo-terminals cannot show.
class ISerialSys {
public:
    virtual ~ISerialSys() = default;

    // Each returns what its POSIX call returns (-1 with errno set on failure).
    virtual int Open(const char* path) = 0; // read/write, no controlling tty, close-on-exec
    virtual int Close(int fd) = 0;
    virtual int LockExclusive(int fd) = 0; // TIOCEXCL and flock(LOCK_EX|LOCK_NB)
    // Raw 8N1 at baud, blocking I/O, no XON/XOFF either way; CRTSCTS as the driver had it.
    virtual int Configure(int fd, std::uint32_t baud) = 0;
    virtual int Flush(int fd, int queue) = 0;                // tcflush(TCIFLUSH/TCOFLUSH/TCIOFLUSH)
    virtual int SetModemLine(int fd, int line, bool on) = 0; // TIOCM_DTR or TIOCM_RTS
    // Waits up to timeout_ms for received bytes: 1 readable, 0 timed out, -1 failed or hung up.
    virtual int WaitReadable(int fd, int timeout_ms) = 0;
    virtual int Queued(int fd) = 0; // bytes waiting in the input queue, -1 on failure
    virtual ssize_t Read(int fd, void* buffer, std::size_t size) = 0;
    virtual ssize_t Write(int fd, const void* data, std::size_t size) = 0;
    virtual int Drain(int fd) = 0; // returns once the last byte has left the line driver
    // The driver's RS-485 mode. Set takes back what the driver made of it (a driver without
    // the mode may refuse the call, or take it and leave the mode off). A layer that has no
    // such mode fails both with ENOTTY, as a pseudo-terminal or a USB serial driver does.
    virtual int GetRs485(int fd, TKernelRs485& config);
    virtual int SetRs485(int fd, TKernelRs485& config);
};

// The real calls.
class TPosixSerialSys final : public ISerialSys {
public:
    int Open(const char* path) override;
    int Close(int fd) override;
    int LockExclusive(int fd) override;
    int Configure(int fd, std::uint32_t baud) override;
    int Flush(int fd, int queue) override;
    int SetModemLine(int fd, int line, bool on) override;
    int WaitReadable(int fd, int timeout_ms) override;
    int Queued(int fd) override;
    ssize_t Read(int fd, void* buffer, std::size_t size) override;
    ssize_t Write(int fd, const void* data, std::size_t size) override;
    int Drain(int fd) override;
    int GetRs485(int fd, TKernelRs485& config) override;
    int SetRs485(int fd, TKernelRs485& config) override;

    // The process-wide instance every port uses unless told otherwise.
    static TPosixSerialSys& Instance();
};
