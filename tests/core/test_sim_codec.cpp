#include "sim/sim_codec.h"

#include <gtest/gtest.h>

namespace {

TSimFrame Whois() {
    TSimFrame f;
    f.dst_address = 5;
    f.dst_id = 0x00C0DB01;
    f.src_address = 255;
    f.src_id = 0xA1B2C3D4;
    f.command = 3;
    return f;
}

std::vector<TSimDecoded> DecodeAll(const TBytes& wire, bool byte_by_byte = false) {
    TSimDecoder decoder;
    if (byte_by_byte) {
        for (const std::uint8_t b : wire) {
            decoder.Feed(&b, 1);
        }
    } else {
        decoder.Feed(wire.data(), wire.size());
    }
    decoder.Flush();
    std::vector<TSimDecoded> out;
    TSimDecoded d;
    while (decoder.Next(d)) {
        out.push_back(d);
    }
    return out;
}

} // namespace

TEST(SimCodec, EncodesTheDocumentedWhoisFrame) {
    const std::uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(simwire::Crc16(digits, sizeof digits), 0x29B1);
    const TBytes expected = {0xC0, 0x0C, 0x00, 0x00, 0x05, 0x01, 0xDB, 0xDD, 0xDB, 0xDC,
                             0x00, 0xFF, 0xD4, 0xC3, 0xB2, 0xA1, 0x03, 0x00, 0xA9};
    EXPECT_EQ(simwire::Encode(Whois()), expected);
}

TEST(SimCodec, DecoderCutsFramesAndNamesWhatIsWrong) {
    TSimFrame stuffed = Whois();
    stuffed.answer = true;
    stuffed.payload = {0xC0, 0xDB, 0x00, 0xDC, 0xDD};
    TBytes wire = {0x11, 0x22}; // noise
    const TBytes good = simwire::Encode(stuffed);
    wire.insert(wire.end(), good.begin(), good.end());
    const TBytes crc = simwire::Encode(Whois(), TSimCorruption::Crc);
    wire.insert(wire.end(), crc.begin(), crc.end());
    const TBytes escape = simwire::Encode(Whois(), TSimCorruption::Escape);
    wire.insert(wire.end(), escape.begin(), escape.end());
    const TBytes cut = simwire::Encode(Whois(), TSimCorruption::Truncate);
    wire.insert(wire.end(), cut.begin(), cut.end());
    wire.insert(wire.end(), {0xC0, 0x05, 0x00, 0x00}); // declares less than a header
    wire.insert(wire.end(), good.begin(), good.end() - 1);

    for (const bool byte_by_byte : {false, true}) {
        const std::vector<TSimDecoded> out = DecodeAll(wire, byte_by_byte);
        std::vector<TSimDecoded::Kind> kinds;
        for (const TSimDecoded& d : out) {
            kinds.push_back(d.kind);
        }
        // What follows a bad escape or length up to the next start byte is noise.
        EXPECT_EQ(kinds, (std::vector<TSimDecoded::Kind>{
                             TSimDecoded::Noise, TSimDecoded::Frame, TSimDecoded::BadCrc,
                             TSimDecoded::BadEscape, TSimDecoded::Noise, TSimDecoded::Incomplete,
                             TSimDecoded::BadLength, TSimDecoded::Noise, TSimDecoded::Incomplete}));
        ASSERT_EQ(out.size(), 9u);
        EXPECT_EQ(out[0].bytes, (TBytes{0x11, 0x22}));
        EXPECT_EQ(out[1].bytes, simwire::Serialize(stuffed));
        EXPECT_TRUE(out[1].frame.answer);
        EXPECT_EQ(out[1].frame.dst_id, 0x00C0DB01u);
        EXPECT_EQ(out[1].frame.src_id, 0xA1B2C3D4u);
        EXPECT_EQ(out[1].frame.payload, stuffed.payload);
        EXPECT_EQ(out[5].bytes.size(), 14u) << "unstuffed bytes of the cut frame";
    }
}
