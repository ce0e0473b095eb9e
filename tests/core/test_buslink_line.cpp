#include "buslink/kordeya32.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <vector>

namespace {

// Records every call the port makes to the system; modem-line and write failures on demand.
class RecordingSys final : public ISerialSys {
public:
    std::vector<std::string> calls;
    bool fail_modem = false;
    bool fail_write = false;
    // The driver's RS-485 mode: Switches takes it, NoSuchCall refuses the call, LeftOff takes
    // the call and leaves the mode off (a serial driver whose UART has none).
    enum class TDriver : std::uint8_t { Switches, NoSuchCall, LeftOff } driver = TDriver::Switches;

    int Open(const char*) override { return 42; }
    int Close(int) override {
        calls.push_back("close");
        return 0;
    }
    int LockExclusive(int) override { return 0; }
    int Configure(int, std::uint32_t baud) override {
        calls.push_back("configure " + std::to_string(baud));
        return 0;
    }
    int Flush(int, int queue) override {
        calls.push_back(queue == TCIFLUSH   ? "purge rx"
                        : queue == TCOFLUSH ? "purge tx"
                                            : "purge rx+tx");
        return 0;
    }
    int SetModemLine(int, int line, bool on) override {
        calls.push_back(std::string(line == TIOCM_DTR ? "DTR" : "RTS") + (on ? " on" : " off"));
        if (fail_modem) {
            errno = ENOTTY;
            return -1;
        }
        return 0;
    }
    int WaitReadable(int, int) override { return 0; }
    int Queued(int) override { return 0; }
    ssize_t Read(int, void*, std::size_t) override { return 0; }
    ssize_t Write(int, const void*, std::size_t size) override {
        calls.push_back("write " + std::to_string(size));
        if (fail_write) {
            errno = EIO;
            return -1;
        }
        return static_cast<ssize_t>(size);
    }
    int Drain(int) override {
        calls.push_back("drain");
        return 0;
    }
    int SetRs485(int, TKernelRs485& config) override {
        calls.push_back(std::string("rs485 ") + (config.enabled ? "on" : "off") + ", RTS " +
                        (config.rts_on_send ? "on" : "off") + " while sending, delays " +
                        std::to_string(config.delay_before_ms) + "/" +
                        std::to_string(config.delay_after_ms));
        if (driver == TDriver::NoSuchCall) {
            errno = ENOTTY;
            return -1;
        }
        config.enabled = config.enabled && driver == TDriver::Switches;
        return 0;
    }
};

using Calls = std::vector<std::string>;

class LineControl : public ::testing::Test {
protected:
    void SetUp() override { std::ofstream(dir.file("com3")).put('\n'); }

    // Opens with the options and returns the calls of one 17-byte frame sent.
    Calls SendOne(bool dtr, bool rts, bool inv) {
        pc.SetOptions(dtr, rts, inv);
        EXPECT_TRUE(pc.Open(3));
        sys.calls.clear();
        EXPECT_TRUE(pc.Send(GET_WHOIS, 1, 1, nullptr, 0));
        return sys.calls;
    }

    TempDir dir;
    RecordingSys sys;
    TKordeya32 pc{dir.path(), 0x01020304u, sys};
};

} // namespace

TEST_F(LineControl, OpenConfiguresPurgesAndRestsInReceive) {
    pc.SetOptions(true, true, false);
    ASSERT_TRUE(pc.Open(3));
    EXPECT_EQ(sys.calls, (Calls{"configure 9600", "purge rx+tx", "DTR on", "RTS on"}));
}

TEST_F(LineControl, FrameIsFramedByTransmitAndReceiveLevels) {
    // Neither queue is purged around a frame: the input holds what others said meanwhile, the
    // output may still hold the frame before.
    EXPECT_EQ(SendOne(true, true, false),
              (Calls{"DTR off", "RTS off", "write 17", "drain", "DTR on", "RTS on"}));
}

TEST_F(LineControl, InvertedLevelsAssertWhileTransmitting) {
    EXPECT_EQ(SendOne(true, false, true), (Calls{"DTR on", "write 17", "drain", "DTR off"}));
    EXPECT_EQ(SendOne(false, true, true), (Calls{"RTS on", "write 17", "drain", "RTS off"}));
}

TEST_F(LineControl, WithoutLineOptionsTheFrameIsOnlyWritten) {
    EXPECT_EQ(SendOne(false, false, false), (Calls{"write 17", "drain"}));
    EXPECT_TRUE(pc.SetTransmit());
    EXPECT_TRUE(pc.SetReceive());
}

TEST_F(LineControl, FailedWriteStillReturnsTheLineToReceive) {
    pc.SetOptions(false, true, false);
    ASSERT_TRUE(pc.Open(3));
    sys.calls.clear();
    sys.fail_write = true;
    EXPECT_FALSE(pc.Send(GET_WHOIS, 1, 1, nullptr, 0));
    EXPECT_EQ(sys.calls, (Calls{"RTS off", "write 17", "RTS on"}));
}

TEST_F(LineControl, FailedLineSwitchMakesOpenFailAndClose) {
    sys.fail_modem = true;
    pc.SetOptions(true, false, false);
    EXPECT_FALSE(pc.Open(3));
    EXPECT_FALSE(pc.IsOpen());
    EXPECT_EQ(sys.calls.back(), "close");
    // Both lines are tried even when the first fails; the result is their AND.
    pc.SetOptions(false, false, false);
    ASSERT_TRUE(pc.Open(3));
    pc.SetOptions(true, true, false);
    sys.calls.clear();
    EXPECT_FALSE(pc.SetTransmit());
    EXPECT_EQ(sys.calls, (Calls{"DTR off", "RTS off"}));
}

TEST_F(LineControl, TheDriversRs485ModeSwitchesTheLineInsteadOfTheProgram) {
    pc.SetOptions(false, true, false, true);
    ASSERT_TRUE(pc.Open(3));
    EXPECT_EQ(sys.calls, (Calls{"configure 9600", "purge rx+tx",
                                "rs485 on, RTS off while sending, delays 0/0"}))
        << "RTS cleared while sending, as the program's own switching does; no delays";
    EXPECT_EQ(pc.KernelMode(), TRs485::TKernelMode::On);
    sys.calls.clear();
    ASSERT_TRUE(pc.Send(GET_WHOIS, 1, 1, nullptr, 0));
    EXPECT_EQ(sys.calls, (Calls{"write 17", "drain"}));

    pc.SetOptions(false, false, true, true);
    sys.calls.clear();
    ASSERT_TRUE(pc.Open(3));
    EXPECT_EQ(sys.calls[3], "rs485 on, RTS on while sending, delays 0/0") << "inverted";
}

TEST_F(LineControl, ADriverWithoutTheModeLeavesTheLineToDtrRtsAsTicked) {
    for (const auto driver : {RecordingSys::TDriver::NoSuchCall, RecordingSys::TDriver::LeftOff}) {
        sys.driver = driver;
        pc.SetOptions(false, true, false, true);
        sys.calls.clear();
        ASSERT_TRUE(pc.Open(3)) << "the port is listened to all the same";
        EXPECT_EQ(pc.KernelMode(), TRs485::TKernelMode::Refused);
        EXPECT_EQ(pc.KernelError(),
                  driver == RecordingSys::TDriver::NoSuchCall ? ENOTTY : EOPNOTSUPP);
        EXPECT_EQ(sys.calls.back(), "RTS on") << "back to receive by RTS";
        sys.calls.clear();
        ASSERT_TRUE(pc.Send(GET_WHOIS, 1, 1, nullptr, 0));
        EXPECT_EQ(sys.calls, (Calls{"RTS off", "write 17", "drain", "RTS on"}));
    }
    // Not asked for: not tried.
    pc.SetOptions(false, false, false, false);
    sys.calls.clear();
    ASSERT_TRUE(pc.Open(3));
    EXPECT_EQ(pc.KernelMode(), TRs485::TKernelMode::Off);
    EXPECT_EQ(sys.calls, (Calls{"close", "configure 9600", "purge rx+tx"}));
}
