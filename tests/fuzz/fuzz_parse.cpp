// Feeds arbitrary bytes through the frame parser the way the bus cycle does: reads of varying
// size into a 16384-byte receive buffer, Parse until it consumes nothing, a flush on "timeouts".
#include "buslink/kordeya32.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr int RECEIVE_SIZE = 16384;

void Drain(TKordeya32& codec, std::uint8_t* buffer, int& used, bool flush) {
    for (;;) {
        int consumed = 0;
        const bool ok = codec.Parse(buffer, used, consumed, flush);
        if (ok) {
            const int n = codec.FrameLength();
            if (n < frame::MIN_LENGTH || n > frame::BUFFER_SIZE ||
                !TKordeya32::CheckCrc(codec.Frame(), n)) {
                __builtin_trap();
            }
        }
        if (consumed < 0 || consumed > used) {
            __builtin_trap();
        }
        if (consumed == 0) {
            return;
        }
        std::memmove(buffer, buffer + consumed, static_cast<std::size_t>(used - consumed));
        used -= consumed;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static TKordeya32 codec("", 0x01020304u, TPosixSerialSys::Instance());
    static std::uint8_t buffer[RECEIVE_SIZE];
    int used = 0;
    std::size_t pos = 0;
    while (pos < size) {
        // Each read: one control byte (chunk length, and a timeout when its top bit is set),
        // then the bytes that arrived.
        const std::uint8_t control = data[pos++];
        const bool timeout = (control & 0x80) != 0;
        std::size_t chunk = control & 0x7F;
        if (chunk > size - pos) {
            chunk = size - pos;
        }
        if (timeout) {
            Drain(codec, buffer, used, true);
            continue;
        }
        if (used + static_cast<int>(chunk) > RECEIVE_SIZE) {
            Drain(codec, buffer, used, true);
            used = 0;
        }
        std::memcpy(buffer + used, data + pos, chunk);
        used += static_cast<int>(chunk);
        pos += chunk;
        Drain(codec, buffer, used, false);
    }
    Drain(codec, buffer, used, true);
    return 0;
}
