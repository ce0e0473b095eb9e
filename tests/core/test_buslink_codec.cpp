#include "buslink/kordeya32.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// An encoder written apart from the one under test: bitwise CRC, plain stuffing.
std::uint16_t BitwiseCrc(const Bytes& data, std::size_t from, std::size_t to) {
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = from; i < to; ++i) {
        crc = static_cast<std::uint16_t>(crc ^ (data[i] << 8));
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
        }
    }
    return crc;
}

Bytes Decoded(std::uint8_t command, const Bytes& payload, std::uint8_t answer = 1) {
    const std::size_t len = payload.size() + 12;
    Bytes d = {0xC0,
               static_cast<std::uint8_t>(len & 0xFF),
               static_cast<std::uint8_t>(len >> 8),
               answer,
               255,
               0x44,
               0x33,
               0x22,
               0x11,
               7,
               0x78,
               0x56,
               0x34,
               0x12,
               command};
    d.insert(d.end(), payload.begin(), payload.end());
    const std::uint16_t crc = BitwiseCrc(d, 1, d.size());
    d.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    d.push_back(static_cast<std::uint8_t>(crc >> 8));
    return d;
}

Bytes Stuff(const Bytes& decoded) {
    Bytes w = {decoded[0]};
    for (std::size_t i = 1; i < decoded.size(); ++i) {
        if (decoded[i] == 0xC0) {
            w.insert(w.end(), {0xDB, 0xDC});
        } else if (decoded[i] == 0xDB) {
            w.insert(w.end(), {0xDB, 0xDD});
        } else {
            w.push_back(decoded[i]);
        }
    }
    return w;
}

Bytes Wire(std::uint8_t command, const Bytes& payload) {
    return Stuff(Decoded(command, payload));
}

struct ParseResult {
    bool ok;
    int consumed;
    Bytes frame;
};

ParseResult RunParse(TKordeya32& k, const Bytes& data, bool flush = false) {
    int consumed = -1;
    const bool ok = k.Parse(data.data(), static_cast<int>(data.size()), consumed, flush);
    Bytes frame;
    if (ok) {
        frame.assign(k.Frame(), k.Frame() + k.FrameLength());
    }
    return {ok, consumed, frame};
}

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace

TEST(Crc16, CheckValueAndCheckCrc) {
    const Bytes digits = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(TKordeya32::Crc16(digits.data(), 9), 0x29B1);
    const Bytes frame = Decoded(GET_STATE, {1, 2, 3});
    EXPECT_TRUE(TKordeya32::CheckCrc(frame.data(), static_cast<int>(frame.size())));
    Bytes broken = frame;
    broken[16] ^= 0x01;
    EXPECT_FALSE(TKordeya32::CheckCrc(broken.data(), static_cast<int>(broken.size())));
    EXPECT_FALSE(TKordeya32::CheckCrc(frame.data(), 3));
}

TEST(Decode, EscapesAndErrors) {
    const Bytes ok = {0x01, 0xDB, 0xDC, 0xDB, 0xDD, 0x02};
    std::uint8_t out[8] = {};
    ASSERT_EQ(TKordeya32::Decode(ok.data(), 6, out, sizeof out), 4);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{0x01, 0xC0, 0xDB, 0x02}));
    EXPECT_EQ(TKordeya32::Decode(ok.data(), 6), 4);

    const Bytes bad_follower = {0x01, 0xDB, 0x05};
    EXPECT_EQ(TKordeya32::Decode(bad_follower.data(), 3), 0);
    const Bytes trailing_escape = {0x01, 0xDB};
    EXPECT_EQ(TKordeya32::Decode(trailing_escape.data(), 2), 0);
    // Never writes past the destination.
    std::uint8_t small[2] = {};
    EXPECT_EQ(TKordeya32::Decode(ok.data(), 6, small, sizeof small), 0);
}

TEST(OwnIdentity, DerivedIdIsNeverZeroAndFollowsTheRule) {
    // x1 = 12345, x2 = 12345 * 1103515245 + 12345 (mod 2^32).
    const std::uint32_t x1 = 12345u;
    const std::uint32_t x2 = x1 * 1103515245u + 12345u;
    EXPECT_EQ(TKordeya32::DeriveId(0), (x1 & 0xFFFF0000u) | (x2 >> 16));
    for (std::uint32_t s = 0; s <= 32767; ++s) {
        ASSERT_NE(TKordeya32::DeriveId(s), 0u) << s;
    }
    TKordeya32 k("");
    EXPECT_NE(k.OwnId(), 0u);
    EXPECT_EQ(k.OwnAddress(), 255);
    EXPECT_STREQ(k.OwnName(), "PC \xCA\xEE\xF0\xE4\xE5\xFF-\xD2\xCB");
}

TEST(Encoder, StuffsHeaderPayloadAndCrcAndStopsAt767Bytes) {
    TKordeya32 k("", 0xA1B2C3D4u, TPosixSerialSys::Instance());
    // The GET_WHOIS frame to address 5, id 0x00C0DB01.
    k.BeginFrame(12);
    k.PutByte(0);
    k.PutByte(5);
    k.PutDword(0x00C0DB01u);
    k.PutByte(k.OwnAddress());
    k.PutDword(k.OwnId());
    k.PutByte(GET_WHOIS);
    ASSERT_TRUE(k.EndFrame());
    const Bytes expected = {0xC0, 0x0C, 0x00, 0x00, 0x05, 0x01, 0xDB, 0xDD, 0xDB, 0xDC,
                            0x00, 0xFF, 0xD4, 0xC3, 0xB2, 0xA1, 0x03, 0x00, 0xA9};
    EXPECT_EQ(Bytes(k.TransmitBuffer(), k.TransmitBuffer() + k.TransmitLength()), expected);

    // Find payloads whose CRC carries 0xC0 or 0xDB, so the CRC itself gets stuffed.
    int crc_stuffed = 0;
    for (int v = 0; v < 4096 && crc_stuffed < 3; ++v) {
        const Bytes payload = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                               0xC0, 0xDB};
        const Bytes decoded = Decoded(GET_LINES, payload, 0);
        const std::uint8_t lo = decoded[decoded.size() - 2];
        const std::uint8_t hi = decoded[decoded.size() - 1];
        if (lo != 0xC0 && lo != 0xDB && hi != 0xC0 && hi != 0xDB) {
            continue;
        }
        ++crc_stuffed;
        k.BeginFrame(static_cast<std::uint16_t>(payload.size() + 12));
        for (std::size_t i = 3; i < decoded.size() - 2; ++i) {
            k.PutByte(decoded[i]);
        }
        ASSERT_TRUE(k.EndFrame());
        EXPECT_EQ(Bytes(k.TransmitBuffer(), k.TransmitBuffer() + k.TransmitLength()),
                  Stuff(decoded));
    }
    EXPECT_EQ(crc_stuffed, 3);

    // 766 bytes fit after the start byte; a stuffed byte needing two never splits.
    k.BeginFrame(0);
    for (int i = 0; i < 764; ++i) {
        ASSERT_TRUE(k.PutByte(1));
    }
    EXPECT_EQ(k.TransmitLength(), 767);
    EXPECT_FALSE(k.PutByte(1));
    EXPECT_FALSE(k.EndFrame());
    k.BeginFrame(0);
    for (int i = 0; i < 763; ++i) {
        k.PutByte(1);
    }
    EXPECT_FALSE(k.PutByte(0xC0));
    EXPECT_EQ(k.TransmitLength(), 766);
    EXPECT_FALSE(k.PutByte(1)) << "every put after a failure fails";
}

TEST(Parse, WholeSplitAndConsecutiveFrames) {
    TKordeya32 k("");
    const Bytes a = Wire(GET_STATE, {0x02, 0xC0, 0xDB, 0x00});
    const Bytes b = Wire(FIND_DEVICE, {});

    auto r = RunParse(k, a);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.consumed, static_cast<int>(a.size()));
    EXPECT_EQ(r.frame, Decoded(GET_STATE, {0x02, 0xC0, 0xDB, 0x00}));

    // Split: nothing is consumed until the last byte is there.
    for (std::size_t cut = 1; cut < a.size(); ++cut) {
        r = RunParse(k, Bytes(a.begin(), a.begin() + static_cast<long>(cut)));
        EXPECT_FALSE(r.ok) << cut;
        EXPECT_EQ(r.consumed, 0) << cut;
    }

    // Two frames: the first, then the second.
    const Bytes both = Cat(a, b);
    r = RunParse(k, both);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.consumed, static_cast<int>(a.size()));
    r = RunParse(k, Bytes(both.begin() + static_cast<long>(a.size()), both.end()));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.frame, Decoded(FIND_DEVICE, {}));
}

TEST(Parse, NoiseBadCrcAndBadEscapeAreDroppedUnreported) {
    TKordeya32 k("");
    const Bytes good = Wire(GET_STATE, {0x01});

    // Noise before a start byte goes in one call.
    auto r = RunParse(k, Cat({0x11, 0x22, 0x33}, good));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.consumed, 3);

    // Noise with no start byte waits, unless flushed.
    r = RunParse(k, {0x11, 0x22});
    EXPECT_EQ(r.consumed, 0);
    r = RunParse(k, {0x11, 0x22}, true);
    EXPECT_EQ(r.consumed, 2);

    // A bad CRC stays until the next start byte or a flush.
    Bytes bad_crc = good;
    bad_crc[bad_crc.size() - 1] ^= 0x55;
    r = RunParse(k, bad_crc);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.consumed, 0);
    r = RunParse(k, Cat(bad_crc, good));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.consumed, static_cast<int>(bad_crc.size()));
    r = RunParse(k, bad_crc, true);
    EXPECT_EQ(r.consumed, static_cast<int>(bad_crc.size()));

    // 0xDB followed by anything but DC/DD: that candidate never becomes a frame.
    Bytes bad_escape = good;
    bad_escape.insert(bad_escape.begin() + 5, {0xDB, 0x01});
    r = RunParse(k, bad_escape);
    EXPECT_FALSE(r.ok);

    // A declared length that disagrees with the data.
    Bytes decoded = Decoded(GET_STATE, {0x01, 0x02});
    decoded[1] = 20;
    const std::uint16_t crc = BitwiseCrc(decoded, 1, decoded.size() - 2);
    decoded[decoded.size() - 2] = static_cast<std::uint8_t>(crc);
    decoded[decoded.size() - 1] = static_cast<std::uint8_t>(crc >> 8);
    r = RunParse(k, Stuff(decoded));
    EXPECT_FALSE(r.ok);
}

TEST(Parse, LongCandidatesAreBoundedByTheirDecodedLength) {
    TKordeya32 k("");
    // A 300-byte payload is accepted when all of it is there in one call.
    const Bytes big_payload(300, 0x5A);
    const Bytes big = Wire(GET_LINES, big_payload);
    auto r = RunParse(k, big);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.frame.size(), 317u);

    // The largest answers (256 loops, 128 relays: 273 bytes) arrive in pieces from a real
    // line: every piece waits for the rest, and the frame is cut out when it is whole.
    const Bytes loops = Wire(GET_LINES, Bytes(256, 0x01));
    for (std::size_t part = 1; part < loops.size(); ++part) {
        r = RunParse(k, Bytes(loops.begin(), loops.begin() + static_cast<long>(part)));
        ASSERT_EQ(r.consumed, 0) << part;
    }
    r = RunParse(k, loops);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.frame.size(), 273u);

    // A candidate that decodes past the frame buffer can never be a frame: dropped at once.
    Bytes overlong = {0xC0};
    overlong.insert(overlong.end(), 768, 0x11);
    r = RunParse(k, Bytes(overlong.begin(), overlong.end() - 1));
    EXPECT_EQ(r.consumed, 0) << "768 decoded bytes may still be a frame";
    r = RunParse(k, overlong);
    EXPECT_EQ(r.consumed, 769);

    // Data far past the frame buffer: never written past, dropped whole.
    Bytes flood = {0xC0};
    flood.insert(flood.end(), 5000, 0x00);
    r = RunParse(k, flood);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.consumed, 5001);
    // A stuffed flood decodes to half its length; still dropped once past the bound.
    Bytes stuffed_flood = {0xC0};
    for (int i = 0; i < 2000; ++i) {
        stuffed_flood.insert(stuffed_flood.end(), {0xDB, 0xDC});
    }
    r = RunParse(k, stuffed_flood);
    EXPECT_EQ(r.consumed, 4001);
}

TEST(Parse, EmptyInputConsumesNothing) {
    TKordeya32 k("");
    int consumed = -1;
    EXPECT_FALSE(k.Parse(nullptr, 0, consumed, false));
    EXPECT_EQ(consumed, 0);
    EXPECT_FALSE(k.Parse(nullptr, 0, consumed, true));
    EXPECT_EQ(consumed, 0);
}

TEST(Send, RefusedWhenClosedOrTooLong) {
    TKordeya32 k("");
    const Bytes payload(10, 1);
    EXPECT_FALSE(k.Send(GET_LINES, 1, 1, payload.data(), 10));
}
