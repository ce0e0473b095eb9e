// Frames built from the input, encoded by the codec so that their CRC is right, go through the
// bus cycle's own parse-and-dispatch step into a device service over a real database file and
// the shipped catalogue.
//
// The input is a list of steps; the low two bits of a step's first byte say what it is:
//   0 answer:   command, device, payload length, payload   (a device answers the PC)
//   1 request:  command, device, payload length, payload   (the bus master asks a device)
//   2 operator: device, element number (2 bytes), command, payload length, value
//   3 silence:  seconds                                    (a read that timed out)
// A device is one byte (address above, one of eight ids below) unless RAW_IDS asks for an
// address and a 4-byte id. A payload shorter than its length is padded with zeros. OWN makes an
// answer or a request come from the PC's own node, as the adapter hands the PC's frames back.
#include "buslink/kordeya32.h"
#include "support/device_fixture.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

constexpr std::uint8_t RAW_IDS = 0x04;      // the device is spelled out in full
constexpr std::uint8_t LONG_PAYLOAD = 0x08; // the payload length counts threes
constexpr std::uint8_t SPLIT = 0x10;        // the frame arrives in two reads
constexpr std::uint8_t TIMEOUT = 0x20;      // the read after the frame times out
constexpr std::uint8_t OWN = 0x40;          // the frame is the PC's own, heard back
constexpr int MAX_STEPS = 128;
constexpr int STATE_INPUTS = 64;
constexpr int FIXTURE_INPUTS = 1024;
constexpr int MAX_PAYLOAD = frame::BUFFER_SIZE - frame::MIN_LENGTH;
// The eight short ids hold a start and an escape byte, so they need stuffing on the wire.
constexpr std::uint32_t FIRST_ID = 0x00C0DB01;
constexpr std::uint8_t MASTER_ADDRESS = 0;
constexpr std::uint32_t MASTER_ID = 0x00000A11;

class TReader {
public:
    TReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool Empty() const { return pos_ >= size_; }
    std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint16_t Word() {
        const std::uint8_t low = Byte();
        return static_cast<std::uint16_t>(low | Byte() << 8);
    }
    std::uint32_t Dword() {
        const std::uint16_t low = Word();
        return low | static_cast<std::uint32_t>(Word()) << 16;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

struct TNode {
    std::uint8_t address;
    std::uint32_t id;
};

TNode ReadNode(TReader& in, bool raw) {
    const std::uint8_t b = in.Byte();
    if (raw) {
        return {b, in.Dword()};
    }
    return {static_cast<std::uint8_t>(b >> 3), FIRST_ID + (b & 7u)};
}

// The device service and what it stands on. A new device table (64 devices with all their loops
// and relays) and a new database cost far more than an input, so they serve STATE_INPUTS inputs;
// the log, the catalogue and the temporary folder serve FIXTURE_INPUTS. That bounds what they
// keep while devices met by one input may still be known to the next.
class TDispatchRun {
public:
    void Begin() {
        if (!fx_ || inputs_ % FIXTURE_INPUTS == 0) {
            fx_.reset();
            fx_ = std::make_unique<DeviceFixture>();
        } else if (inputs_ % STATE_INPUTS == 0) {
            NewState();
        }
        ++inputs_;
        *bus_ = TDevice::TBusState{};
        fx_->device->remote_command.pending = false;
        fx_->pane.lines.clear();
        fx_->views.Take();
    }

    void Step(TReader& in) {
        const std::uint8_t step = in.Byte();
        switch (step & 3) {
        case 0:
        case 1:
            Frame(step, in);
            break;
        case 2:
            Operator(step, in);
            break;
        default:
            fx_->device->CheckOnline(in.Byte() * 1000);
            fx_->device->TakeFrames(*bus_, true);
            break;
        }
    }

    // The table never outgrows its room, and what it holds stays readable.
    void Check() const {
        const int count = fx_->device->GetCount();
        if (count < 0 || count > TDevice::MAX_DEVICES || fx_->device->GetOnlineCount() > count) {
            __builtin_trap();
        }
        fx_->device->GetMaxStateText();
    }

private:
    void Frame(std::uint8_t step, TReader& in) {
        const bool answer = (step & 3) == 0;
        const std::uint8_t command = in.Byte();
        const TNode device = ReadNode(in, (step & RAW_IDS) != 0);
        const TNode pc{fx_->port.OwnAddress(), fx_->port.OwnId()};
        const TNode master{MASTER_ADDRESS, MASTER_ID};
        const TNode& dst = answer ? pc : device;
        const TNode& src = (step & OWN) != 0 ? pc : (answer ? device : master);
        int length = in.Byte();
        if ((step & LONG_PAYLOAD) != 0) {
            length = std::min(length * 3, MAX_PAYLOAD);
        }
        codec_.BeginFrame(static_cast<std::uint16_t>(length + frame::HEADER_LENGTH));
        codec_.PutByte(answer ? 1 : 0);
        codec_.PutByte(dst.address);
        codec_.PutDword(dst.id);
        codec_.PutByte(src.address);
        codec_.PutDword(src.id);
        codec_.PutByte(command);
        for (int i = 0; i < length; ++i) {
            codec_.PutByte(in.Byte());
        }
        if (!codec_.EndFrame()) {
            return; // too long once stuffed: no device can send it
        }
        const std::uint8_t* bytes = codec_.TransmitBuffer();
        const int n = codec_.TransmitLength();
        const bool timeout = (step & TIMEOUT) != 0;
        if ((step & SPLIT) != 0) {
            const int first = in.Byte() % n;
            Feed(bytes, first, false);
            Feed(bytes + first, n - first, timeout);
        } else {
            Feed(bytes, n, timeout);
        }
    }

    // The operator's command as the tree queues it; a later FIND_DEVICE request sends it.
    void Operator(std::uint8_t step, TReader& in) {
        const TNode target = ReadNode(in, (step & RAW_IDS) != 0);
        TRemoteCommand& rc = fx_->device->remote_command;
        rc.device_id = target.id;
        rc.address = target.address;
        rc.index = in.Word();
        const std::uint8_t command = in.Byte();
        const std::uint8_t length = in.Byte();
        fx_->device->SetRemoteCommand(command, length, in.Byte());
    }

    // One read of the bus: the bytes land behind what is held, as the port read puts them.
    void Feed(const std::uint8_t* bytes, int n, bool flush) {
        TDevice::TBusState& bus = *bus_;
        if (bus.held + n > TDevice::RECEIVE_SIZE) {
            fx_->device->TakeFrames(bus, true);
            if (bus.held + n > TDevice::RECEIVE_SIZE) {
                return;
            }
        }
        std::memcpy(bus.receive + bus.held, bytes, static_cast<std::size_t>(n));
        bus.held += n;
        fx_->device->TakeFrames(bus, flush);
    }

    void NewState() {
        fx_->device.reset();
        fx_->sqlite->Close();
        for (const char* suffix : {"", "-wal", "-shm"}) {
            std::remove((fx_->db_path + suffix).c_str());
        }
        fx_->sqlite->Init(fx_->db_path);
        fx_->device = std::make_unique<TDevice>(fx_->log.get(), *fx_->record, *fx_->sqlite,
                                                fx_->views, fx_->port, fx_->settings);
    }

    std::unique_ptr<DeviceFixture> fx_;
    int inputs_ = 0;
    TKordeya32 codec_{"", 0x7E57C0DE, TPosixSerialSys::Instance()};
    std::unique_ptr<TDevice::TBusState> bus_ = std::make_unique<TDevice::TBusState>();
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static TDispatchRun run;
    run.Begin();
    TReader in(data, size);
    for (int i = 0; i < MAX_STEPS && !in.Empty(); ++i) {
        run.Step(in);
    }
    run.Check();
    return 0;
}
