#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A pseudo-terminal pair: the test holds the master side and plays the bus; the slave side is
// linked as ports/comN in a ports folder, where the serial port under test finds it.
class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return master_ >= 0; }
    const std::string& slave_path() const { return slave_path_; }
    // Links the slave as <dir>/com<number>.
    void LinkAs(const std::string& dir, int number) const;

    void Send(const std::vector<std::uint8_t>& bytes) const;
    // Reads what arrives within timeout_ms (stops early once `want` bytes are in).
    std::vector<std::uint8_t> Receive(int timeout_ms, std::size_t want = SIZE_MAX) const;
    // Closes the master side, as an unplugged adapter would.
    void CloseMaster();

private:
    int master_ = -1;
    std::string slave_path_;
};
