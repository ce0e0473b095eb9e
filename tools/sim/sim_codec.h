#pragma once

// The simulator's own frame codec. It is written apart from the workstation's codec on purpose:
// the simulator checks the workstation's side of the wire instead of mirroring its mistakes.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

using TBytes = std::vector<std::uint8_t>;

// One frame as its fields; multi-byte fields travel little-endian.
struct TSimFrame {
    bool answer = false;
    std::uint8_t dst_address = 0;
    std::uint32_t dst_id = 0;
    std::uint8_t src_address = 0;
    std::uint32_t src_id = 0;
    std::uint8_t command = 0;
    TBytes payload;
};

// Ways the simulator damages a frame on the line.
enum class TSimCorruption : std::uint8_t {
    None,
    Crc,      // a wrong checksum
    Escape,   // an escape byte followed by a byte that is not a valid escape
    Truncate, // the last bytes never leave the line
};

namespace simwire {

constexpr std::uint8_t START = 0xC0;
constexpr std::uint8_t ESCAPE = 0xDB;
constexpr std::uint8_t ESCAPED_START = 0xDC;
constexpr std::uint8_t ESCAPED_ESCAPE = 0xDD;
// Start byte, length field, answer flag, two addresses, two ids, command and checksum.
constexpr std::size_t OVERHEAD = 17;
// The length field counts the header after it (answer flag to command) plus the payload.
constexpr std::size_t HEADER = 12;
// Longest frame the decoder waits for; a longer declared length is noise.
constexpr std::size_t MAX_DECODED = 4096;

// CRC-16 with polynomial 0x1021, initial value 0xFFFF, no reflection, no final XOR.
std::uint16_t Crc16(const std::uint8_t* data, std::size_t n);

// The unstuffed frame: start byte, length, header, payload and checksum.
TBytes Serialize(const TSimFrame& frame);

// The frame as it goes on the wire: every byte after the start byte stuffed.
TBytes Encode(const TSimFrame& frame, TSimCorruption corruption = TSimCorruption::None);

// Reads the fields of an unstuffed frame whose length and checksum were already checked.
TSimFrame Fields(const TBytes& decoded);

} // namespace simwire

// What the stream decoder found.
struct TSimDecoded {
    enum Kind : std::uint8_t {
        Frame,      // a complete frame with a good checksum
        BadCrc,     // complete, but the checksum does not match
        BadEscape,  // an escape byte followed by something else than DC or DD
        BadLength,  // the declared length is impossible
        Incomplete, // cut short by the next start byte or by silence
        Noise,      // bytes outside any frame
    };
    Kind kind = Frame;
    TBytes bytes; // unstuffed bytes from the start byte on (the raw bytes for noise)
    TSimFrame frame;
};

const char* DecodedKindName(TSimDecoded::Kind kind);

// Cuts frames out of a byte stream, one byte at a time.
class TSimDecoder {
public:
    void Feed(const std::uint8_t* data, std::size_t n);
    // Ends a frame in progress (the line went quiet) and any noise collected.
    void Flush();
    bool HasPartial() const { return in_frame_ || !noise_.empty(); }
    bool HasResult() const { return !ready_.empty(); }
    // Takes the oldest result; false when there is none.
    bool Next(TSimDecoded& out);

private:
    void Put(std::uint8_t b);
    void Emit(TSimDecoded::Kind kind);
    void EmitNoise();
    void CheckComplete();

    bool in_frame_ = false;
    bool escape_ = false;
    TBytes current_;
    TBytes noise_;
    std::deque<TSimDecoded> ready_;
};
