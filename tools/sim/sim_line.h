#pragma once

// The simulator's end of the wire: the master side of a pseudo-terminal whose slave side is
// linked as <ports dir>/comN for the workstation. It paces what it writes like a serial line
// and cuts what the workstation writes into frames.

#include "sim/sim_codec.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

class TSimLine {
public:
    TSimLine() = default;
    ~TSimLine();
    TSimLine(const TSimLine&) = delete;
    TSimLine& operator=(const TSimLine&) = delete;

    // Opens a pseudo-terminal in raw mode and links its slave as ports_dir/com<com> (the folder
    // is created when missing; an older link there is replaced, any other file is not).
    bool Open(const std::string& ports_dir, int com, std::string& error);
    // Closes the pseudo-terminal and removes the link if it is still ours.
    void Close();
    const std::string& LinkPath() const { return link_path_; }
    const std::string& SlavePath() const { return slave_path_; }

    // byte_us: wire time of one byte (0: as fast as the reader takes them); chunk: bytes per
    // write (0: whole frames).
    void SetPace(std::int64_t byte_us, std::size_t chunk);
    // Writes every byte the workstation sends straight back to it, as an RS-485 adapter that
    // hears its own transmission does. The echo goes to the workstation only: the simulator
    // never reads it as input.
    void SetEcho(bool echo) { echo_ = echo; }
    // Makes every wait return at once, from any thread, until the next Open.
    void Interrupt();

    // Puts bytes on the line and waits as long as they take on the wire. Bytes nobody reads
    // (the workstation has not opened its port) are lost, as on a real bus.
    void Transmit(const TBytes& bytes);
    // Waits `us` microseconds, taking in what the workstation sends; with until_input it
    // returns as soon as something was cut out of the input.
    void Idle(std::int64_t us, bool until_input = false);
    // The next frame or damaged piece the workstation sent.
    bool NextInput(TSimDecoded& out) { return decoder_.Next(out); }
    // Ends a partial frame of the workstation after quiet_ms without a byte.
    void FlushQuietInput(int quiet_ms);

    std::uint64_t BytesSent() const { return bytes_sent_.load(); }

private:
    bool WriteAll(const std::uint8_t* data, std::size_t n);
    void ReadAvailable();
    // Waits on the line for `events` and on the interrupt; returns the line's revents.
    short Wait(short events, std::int64_t us);

    int master_ = -1;
    int wake_ = -1;
    std::string slave_path_;
    std::string link_path_;
    std::int64_t byte_us_ = 0;
    std::size_t chunk_ = 0;
    bool echo_ = false;
    std::atomic<bool> interrupted_{false};
    std::atomic<std::uint64_t> bytes_sent_{0};
    TSimDecoder decoder_;
    std::chrono::steady_clock::time_point last_input_{};
};
