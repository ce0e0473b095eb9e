#pragma once

#include "buslink/serial_sys.h"

#include <atomic>
#include <cstdint>
#include <string>

// What a probe of a COM port found.
enum class TPortState : std::uint8_t {
    Free,     // it opens and locks: this program may take it
    Busy,     // another descriptor holds it (another program, or a port object of this one)
    NoAccess, // the device is there but the user may not open it (not in the dialout group)
    Absent,   // no device behind the number: no link, a dangling link, no such tty
};

// A serial (COM) port: exclusive open, raw 8N1 line settings, reads with a timeout, writes that
// return once the line is quiet, purges and the DTR/RTS modem lines. Logs nothing: callers do.
//
// COM port n is the path comN in the port's ports folder (the program's: "ports" beside it)
// when that exists, a link to any tty; otherwise /dev/ttyS{n-1} for 1..32, /dev/ttyUSB{n-33}
// for 33..64 and /dev/ttyACM{n-65} for 65..96.
class TComp32 {
public:
    // Purge flags.
    static constexpr int PURGE_TXABORT = 1;
    static constexpr int PURGE_RXABORT = 2;
    static constexpr int PURGE_TXCLEAR = 4;
    static constexpr int PURGE_RXCLEAR = 8;

    // `ports_dir` is the folder searched first for comN links; empty: none, device names only.
    explicit TComp32(std::string ports_dir, ISerialSys& sys = TPosixSerialSys::Instance());
    ~TComp32();
    TComp32(const TComp32&) = delete;
    TComp32& operator=(const TComp32&) = delete;

    bool Open(std::uint8_t port, std::uint32_t baud);
    bool Close();
    bool IsOpen() const { return open_; }
    // The number of the port held open, 0 while closed; any thread may ask (a port list must
    // show the port this program holds, which no probe can open).
    int HeldPort() const { return held_port_.load(std::memory_order_acquire); }
    // True when the port can be opened exclusively now (ProbeState gives Free).
    bool Probe(std::uint8_t port);
    // Opens and locks the port and closes it at once; error (when given) takes the errno of a
    // failure, 0 for a free port. kernel_rs485 (when given) takes what the driver said of its
    // RS-485 mode while the port was open: 1 it has the call, 0 it has none, -1 not asked.
    TPortState ProbeState(std::uint8_t port, int* error = nullptr, int* kernel_rs485 = nullptr);
    // What an open's errno says of the port: Busy, NoAccess or Absent (Absent for any other).
    static TPortState StateOfError(int error);
    // "свободен", "занят другой программой", "нет доступа", "нет устройства".
    static const char* StateText(TPortState state);
    bool Purge(int flags);
    bool SetDtr(bool on);
    bool SetRts(bool on);
    // The driver's RS-485 mode; config takes back what the driver made of it.
    bool SetKernelRs485(TKernelRs485& config);
    // Succeeds only when at least one byte was read; never takes more bytes than size (then it
    // fails at once and the bytes stay queued). A port that fails or hung up still lets
    // timeout_ms pass, so a caller's loop keeps its pace, and reports it through IsFailed.
    bool Read(std::uint8_t* buffer, int size, int timeout_ms, int& got);
    // Bytes received and not read yet (0 when closed or unknown).
    int QueuedBytes();
    // Writes all bytes and returns once the last one has left the line driver.
    bool Write(const std::uint8_t* data, int& written, int length);
    // True after a read found the device gone (adapter unplugged); cleared by Open.
    bool IsFailed() const { return failed_; }
    // The errno of the last failed system call of this port.
    int LastError() const { return last_error_; }

    // Milliseconds on a monotonic clock; only differences count.
    static std::uint64_t GetMsTime();

    // The folder searched first for comN links, as given at construction.
    const std::string& PortsDir() const { return ports_dir_; }

    // Path of COM port number port ("" when there is none).
    std::string PortPath(std::uint8_t port) const;
    // The path for the operator: a ports/comN link with what it points at
    // ("<dir>/com5 -> /dev/serial/by-id/usb-FTDI_..."), else the device path itself; for a
    // number no device name stands for, the link that is missing ("<dir>/com101").
    std::string PortPathText(std::uint8_t port) const;

private:
    bool Fail();
    void SleepRest(std::uint64_t started, int timeout_ms);

    ISerialSys& sys_;
    const std::string ports_dir_;
    std::string port_name_;
    int fd_ = -1;
    bool open_ = false;
    std::atomic<int> held_port_{0};
    bool failed_ = false;
    int last_error_ = 0;
};
