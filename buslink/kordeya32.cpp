#include "buslink/kordeya32.h"

#include <array>
#include <cstring>
#include <ctime>
#include <random>
#include <utility>

namespace {

constexpr std::array<std::uint16_t, 256> MakeCrcTable() {
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i << 8;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1;
        }
        table[i] = static_cast<std::uint16_t>(crc);
    }
    return table;
}

constexpr std::array<std::uint16_t, 256> CRC_TABLE = MakeCrcTable();

std::uint16_t CrcStep(std::uint16_t crc, std::uint8_t b) {
    return static_cast<std::uint16_t>(CRC_TABLE[((crc >> 8) ^ b) & 0xFF] ^ (crc << 8));
}

// "PC Кордея-ТЛ" in Windows-1251.
constexpr char OWN_NAME[] = "PC \xCA\xEE\xF0\xE4\xE5\xFF-\xD2\xCB";

// Decodes a stuffed byte stream one byte at a time, the way Decode does for a whole prefix.
class TDecoder {
public:
    TDecoder(std::uint8_t* out, int capacity) : out_(out), capacity_(capacity) {}

    void Put(std::uint8_t b) {
        if (bad_) {
            return;
        }
        if (escape_) {
            escape_ = false;
            if (b == frame::ESCAPED_START) {
                Emit(frame::START);
            } else if (b == frame::ESCAPED_ESCAPE) {
                Emit(frame::ESCAPE);
            } else {
                bad_ = true;
            }
        } else if (b == frame::ESCAPE) {
            escape_ = true;
        } else {
            Emit(b);
        }
    }

    // What Decode would return for everything put so far.
    int Length() const { return bad_ || escape_ ? 0 : count_; }
    // True when all of it is in the output buffer.
    bool Complete() const { return Length() > 0 && count_ <= capacity_; }

private:
    void Emit(std::uint8_t b) {
        if (out_ != nullptr && count_ < capacity_) {
            out_[count_] = b;
        }
        ++count_;
    }

    std::uint8_t* out_;
    int capacity_;
    int count_ = 0;
    bool escape_ = false;
    bool bad_ = false;
};

} // namespace

TKordeya32::TKordeya32(std::string ports_dir, ISerialSys& sys)
    : TKordeya32(std::move(ports_dir), 0, sys) {}

TKordeya32::TKordeya32(std::string ports_dir, std::uint32_t own_id, ISerialSys& sys)
    : TRs485(std::move(ports_dir), sys) {
    if (own_id == 0) {
        std::minstd_rand generator(static_cast<std::uint32_t>(std::time(nullptr)));
        own_id = DeriveId(std::uniform_int_distribution<std::uint32_t>(0, 32767)(generator));
    }
    SetIdentity(own_id);
}

void TKordeya32::SetIdentity(std::uint32_t id) {
    std::memset(&identity_, 0, sizeof identity_);
    identity_.address = OWN_ADDRESS;
    identity_.id = id;
    std::memcpy(identity_.name, OWN_NAME, sizeof OWN_NAME - 1);
}

std::uint32_t TKordeya32::DeriveId(std::uint32_t seed) {
    std::uint32_t s = seed;
    for (;;) {
        const std::uint32_t x1 = s * 1103515245u + 12345u;
        const std::uint32_t x2 = x1 * 1103515245u + 12345u;
        const std::uint32_t id = (x1 & 0xFFFF0000u) | (x2 >> 16);
        if (id != 0) {
            return id;
        }
        s = x2;
    }
}

bool TKordeya32::Open(std::uint8_t port) {
    if (IsOpen()) {
        TComp32::Close();
    }
    transmit_length_ = 0;
    frame_length_ = 0;
    if (!TComp32::Open(port, 9600)) {
        return false;
    }
    StartKernelMode();
    if (!SetReceive()) {
        TComp32::Close();
        return false;
    }
    return true;
}

std::uint16_t TKordeya32::Crc16(const std::uint8_t* data, int n) {
    std::uint16_t crc = 0xFFFF;
    for (int i = 0; i < n; ++i) {
        crc = CrcStep(crc, data[i]);
    }
    return crc;
}

int TKordeya32::Decode(const std::uint8_t* src, int n, std::uint8_t* dst, int dst_size) {
    TDecoder decoder(dst, dst != nullptr ? dst_size : 0);
    for (int i = 0; i < n; ++i) {
        decoder.Put(src[i]);
    }
    if (dst != nullptr && !decoder.Complete()) {
        return 0;
    }
    return decoder.Length();
}

bool TKordeya32::CheckCrc(const std::uint8_t* frame, int n) {
    if (n < 4) {
        return false;
    }
    const std::uint16_t stored = static_cast<std::uint16_t>(frame[n - 2] | (frame[n - 1] << 8));
    return Crc16(frame + 1, n - 3) == stored;
}

bool TKordeya32::BeginFrame(std::uint16_t length) {
    transmit_[0] = frame::START;
    transmit_length_ = 1;
    crc_ = 0xFFFF;
    encode_failed_ = false;
    return PutWord(length);
}

bool TKordeya32::PutByte(std::uint8_t b) {
    if (encode_failed_) {
        return false;
    }
    crc_ = CrcStep(crc_, b);
    const bool stuffed = b == frame::START || b == frame::ESCAPE;
    if (transmit_length_ + (stuffed ? 2 : 1) > frame::MAX_ENCODED) {
        encode_failed_ = true;
        return false;
    }
    if (stuffed) {
        transmit_[transmit_length_++] = frame::ESCAPE;
        transmit_[transmit_length_++] =
            b == frame::START ? frame::ESCAPED_START : frame::ESCAPED_ESCAPE;
    } else {
        transmit_[transmit_length_++] = b;
    }
    return true;
}

bool TKordeya32::PutWord(std::uint16_t w) {
    return PutByte(static_cast<std::uint8_t>(w & 0xFF)) &&
           PutByte(static_cast<std::uint8_t>(w >> 8));
}

bool TKordeya32::PutDword(std::uint32_t d) {
    return PutWord(static_cast<std::uint16_t>(d & 0xFFFF)) &&
           PutWord(static_cast<std::uint16_t>(d >> 16));
}

bool TKordeya32::EndFrame() {
    const std::uint16_t crc = crc_;
    PutWord(crc);
    crc_ = crc;
    return !encode_failed_;
}

bool TKordeya32::Send(std::uint8_t command, std::uint8_t dst_address, std::uint32_t dst_id,
                      const std::uint8_t* payload, int length) {
    if (!IsOpen() || length < 0) {
        return false;
    }
    BeginFrame(static_cast<std::uint16_t>(length + frame::HEADER_LENGTH));
    PutByte(0);
    PutByte(dst_address);
    PutDword(dst_id);
    PutByte(identity_.address);
    PutDword(identity_.id);
    PutByte(command);
    for (int i = 0; i < length; ++i) {
        PutByte(payload[i]);
    }
    if (!EndFrame()) {
        return false;
    }
    SetTransmit();
    int written = 0;
    const bool ok = Write(transmit_, written, transmit_length_);
    SetReceive();
    return ok;
}

bool TKordeya32::Parse(const std::uint8_t* data, int length, int& consumed, bool flush) {
    consumed = 0;
    const bool candidate = length > 0 && data[0] == frame::START;
    TDecoder decoder(candidate ? frame_ : nullptr, frame::BUFFER_SIZE);
    for (int i = 0; i < length; ++i) {
        if (data[i] == frame::START && i > 0) {
            consumed = i;
            return false;
        }
        decoder.Put(data[i]);
        if (!candidate || !decoder.Complete()) {
            continue;
        }
        const int n = decoder.Length();
        if (n >= frame::MIN_LENGTH && n == (frame_[1] | (frame_[2] << 8)) + 5 &&
            CheckCrc(frame_, n)) {
            frame_length_ = n;
            consumed = i + 1;
            return true;
        }
    }
    if (flush || decoder.Length() > frame::MAX_PENDING) {
        consumed = length;
    }
    return false;
}
