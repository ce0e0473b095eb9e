#include "sim/sim_codec.h"

namespace simwire {

std::uint16_t Crc16(const std::uint8_t* data, std::size_t n) {
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < n; ++i) {
        crc = static_cast<std::uint16_t>(crc ^ (data[i] << 8));
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) != 0 ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021)
                                      : static_cast<std::uint16_t>(crc << 1);
        }
    }
    return crc;
}

namespace {

void PutLe(TBytes& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

std::uint32_t GetLe(const TBytes& in, std::size_t at, int bytes) {
    std::uint32_t value = 0;
    for (int i = 0; i < bytes; ++i) {
        value |= static_cast<std::uint32_t>(in[at + static_cast<std::size_t>(i)]) << (8 * i);
    }
    return value;
}

void PutStuffed(TBytes& out, std::uint8_t b) {
    if (b == START) {
        out.push_back(ESCAPE);
        out.push_back(ESCAPED_START);
    } else if (b == ESCAPE) {
        out.push_back(ESCAPE);
        out.push_back(ESCAPED_ESCAPE);
    } else {
        out.push_back(b);
    }
}

} // namespace

TBytes Serialize(const TSimFrame& frame) {
    TBytes out;
    out.reserve(OVERHEAD + frame.payload.size());
    out.push_back(START);
    PutLe(out, static_cast<std::uint32_t>(HEADER + frame.payload.size()), 2);
    out.push_back(frame.answer ? 1 : 0);
    out.push_back(frame.dst_address);
    PutLe(out, frame.dst_id, 4);
    out.push_back(frame.src_address);
    PutLe(out, frame.src_id, 4);
    out.push_back(frame.command);
    out.insert(out.end(), frame.payload.begin(), frame.payload.end());
    PutLe(out, Crc16(out.data() + 1, out.size() - 1), 2);
    return out;
}

TBytes Encode(const TSimFrame& frame, TSimCorruption corruption) {
    TBytes plain = Serialize(frame);
    if (corruption == TSimCorruption::Crc) {
        plain.back() ^= 0x5A;
    }
    TBytes out;
    out.reserve(plain.size() * 2);
    out.push_back(START);
    for (std::size_t i = 1; i < plain.size(); ++i) {
        PutStuffed(out, plain[i]);
    }
    if (corruption == TSimCorruption::Escape) {
        const TBytes bad = {ESCAPE, 0x00};
        out.insert(out.begin() + 5, bad.begin(), bad.end());
    } else if (corruption == TSimCorruption::Truncate) {
        out.resize(out.size() - 3);
    }
    return out;
}

TSimFrame Fields(const TBytes& decoded) {
    TSimFrame frame;
    frame.answer = decoded[3] != 0;
    frame.dst_address = decoded[4];
    frame.dst_id = GetLe(decoded, 5, 4);
    frame.src_address = decoded[9];
    frame.src_id = GetLe(decoded, 10, 4);
    frame.command = decoded[14];
    frame.payload.assign(decoded.begin() + 15, decoded.end() - 2);
    return frame;
}

} // namespace simwire

const char* DecodedKindName(TSimDecoded::Kind kind) {
    switch (kind) {
    case TSimDecoded::Frame:
        return "frame";
    case TSimDecoded::BadCrc:
        return "bad checksum";
    case TSimDecoded::BadEscape:
        return "bad escape";
    case TSimDecoded::BadLength:
        return "bad length";
    case TSimDecoded::Incomplete:
        return "incomplete";
    case TSimDecoded::Noise:
        return "noise";
    }
    return "?";
}

void TSimDecoder::Feed(const std::uint8_t* data, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        Put(data[i]);
    }
}

void TSimDecoder::Flush() {
    if (in_frame_) {
        Emit(TSimDecoded::Incomplete);
    }
    EmitNoise();
}

bool TSimDecoder::Next(TSimDecoded& out) {
    if (ready_.empty()) {
        return false;
    }
    out = std::move(ready_.front());
    ready_.pop_front();
    return true;
}

void TSimDecoder::Put(std::uint8_t b) {
    if (b == simwire::START) {
        if (in_frame_) {
            Emit(TSimDecoded::Incomplete);
        }
        EmitNoise();
        in_frame_ = true;
        escape_ = false;
        current_.assign(1, b);
        return;
    }
    if (!in_frame_) {
        noise_.push_back(b);
        return;
    }
    if (escape_) {
        escape_ = false;
        if (b != simwire::ESCAPED_START && b != simwire::ESCAPED_ESCAPE) {
            current_.push_back(simwire::ESCAPE);
            current_.push_back(b);
            Emit(TSimDecoded::BadEscape);
            return;
        }
        current_.push_back(b == simwire::ESCAPED_START ? simwire::START : simwire::ESCAPE);
    } else if (b == simwire::ESCAPE) {
        escape_ = true;
        return;
    } else {
        current_.push_back(b);
    }
    CheckComplete();
}

void TSimDecoder::CheckComplete() {
    if (current_.size() < 3) {
        return;
    }
    const std::size_t declared = current_[1] | (static_cast<std::size_t>(current_[2]) << 8);
    const std::size_t total = declared + simwire::OVERHEAD - simwire::HEADER;
    if (declared < simwire::HEADER || total > simwire::MAX_DECODED) {
        Emit(TSimDecoded::BadLength);
    } else if (current_.size() == total) {
        const std::uint16_t crc =
            static_cast<std::uint16_t>(current_[total - 2] | (current_[total - 1] << 8));
        const bool good = simwire::Crc16(current_.data() + 1, total - 3) == crc;
        Emit(good ? TSimDecoded::Frame : TSimDecoded::BadCrc);
    }
}

void TSimDecoder::Emit(TSimDecoded::Kind kind) {
    TSimDecoded result;
    result.kind = kind;
    if (kind == TSimDecoded::Frame) {
        result.frame = simwire::Fields(current_);
    }
    result.bytes = std::move(current_);
    current_.clear();
    in_frame_ = false;
    escape_ = false;
    ready_.push_back(std::move(result));
}

void TSimDecoder::EmitNoise() {
    if (noise_.empty()) {
        return;
    }
    TSimDecoded result;
    result.kind = TSimDecoded::Noise;
    result.bytes = std::move(noise_);
    noise_.clear();
    ready_.push_back(std::move(result));
}
