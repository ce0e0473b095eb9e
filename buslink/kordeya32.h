#pragma once

#include "buslink/commands.h"
#include "buslink/rs485.h"

#include <cstdint>
#include <string>

// Wire layout of a decoded frame (little-endian fields).
namespace frame {
constexpr std::uint8_t START = 0xC0;
constexpr std::uint8_t ESCAPE = 0xDB;
constexpr std::uint8_t ESCAPED_START = 0xDC;
constexpr std::uint8_t ESCAPED_ESCAPE = 0xDD;
constexpr int OFS_LENGTH = 1;
constexpr int OFS_ANSWER = 3;
constexpr int OFS_DST_ADDRESS = 4;
constexpr int OFS_DST_ID = 5;
constexpr int OFS_SRC_ADDRESS = 9;
constexpr int OFS_SRC_ID = 10;
constexpr int OFS_COMMAND = 14;
constexpr int OFS_PAYLOAD = 15;
constexpr int HEADER_LENGTH = 12; // the `length` field counts these bytes plus the payload
constexpr int MIN_LENGTH = 17;    // start, length, header and CRC of a frame without payload
constexpr int BUFFER_SIZE = 768;
constexpr int MAX_ENCODED = 767; // the encoder never fills the last byte of its buffer
// Undecided data decoding to more than this are dropped: no frame that long can be accepted.
// (A bound of 268 would lose every answer of a panel with 252 or more loops that arrives in
// pieces, as it does from a real line.)
constexpr int MAX_PENDING = BUFFER_SIZE;

// Little-endian fields of a decoded frame or payload.
inline std::uint16_t ReadWord(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
inline std::uint32_t ReadDword(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
} // namespace frame

// The PC's node on the bus: the port, the line direction and the frame codec in one object.
class TKordeya32 : public TRs485 {
public:
    static constexpr std::uint8_t OWN_ADDRESS = 255;

    // The own id is derived from a random seed, once, and is never 0. `ports_dir`: as TComp32.
    explicit TKordeya32(std::string ports_dir, ISerialSys& sys = TPosixSerialSys::Instance());
    // A fixed own id (the simulator and tests); 0 asks for a random one.
    TKordeya32(std::string ports_dir, std::uint32_t own_id, ISerialSys& sys);

    bool Open(std::uint8_t port);
    void Close() { TComp32::Close(); }

    bool Send(std::uint8_t command, std::uint8_t dst_address, std::uint32_t dst_id,
              const std::uint8_t* payload, int length);
    // Looks at the front of a receive buffer: consumed says how many bytes to drop; true when a
    // valid frame is in Frame(). flush drops an undecided candidate (the read timed out).
    bool Parse(const std::uint8_t* data, int length, int& consumed, bool flush);

    const std::uint8_t* Frame() const { return frame_; }
    int FrameLength() const { return frame_length_; }
    std::uint8_t OwnAddress() const { return identity_.address; }
    std::uint32_t OwnId() const { return identity_.id; }
    const char* OwnName() const { return identity_.name; }

    // The encoded frame last built (also when Send failed to write it).
    const std::uint8_t* TransmitBuffer() const { return transmit_; }
    int TransmitLength() const { return transmit_length_; }

    static std::uint16_t Crc16(const std::uint8_t* data, int n);
    // Decoded length of src (0 on a bad escape or a trailing escape byte). With dst it also
    // writes the bytes, and fails (0) rather than write more than dst_size.
    static int Decode(const std::uint8_t* src, int n, std::uint8_t* dst = nullptr,
                      int dst_size = 0);
    static bool CheckCrc(const std::uint8_t* frame, int n);
    // The id for a seed value: two steps of the classic LCG, repeated until it is not 0.
    static std::uint32_t DeriveId(std::uint32_t seed);

    bool BeginFrame(std::uint16_t length);
    bool PutByte(std::uint8_t b);
    bool PutWord(std::uint16_t w);
    bool PutDword(std::uint32_t d);
    bool EndFrame();

private:
    struct TIdentity {
        std::uint8_t address;
        std::uint32_t id;
        char name[49];
    };

    void SetIdentity(std::uint32_t id);

    std::uint8_t transmit_[frame::BUFFER_SIZE] = {};
    int transmit_length_ = 0;
    std::uint16_t crc_ = 0xFFFF;
    bool encode_failed_ = false;
    int frame_length_ = 0;
    std::uint8_t frame_[frame::BUFFER_SIZE] = {};
    TIdentity identity_{};
};
