#include "buslink/kordeya32.h"
#include "support/pty_pair.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// A pseudo-terminal linked as COM7 in a private ports folder.
class PortOnPty : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        pty.LinkAs(dir.path(), 7);
    }

    TempDir dir;
    PtyPair pty;
};

} // namespace

TEST_F(PortOnPty, ComNumberFindsTheLinkFirstThenTheDeviceNames) {
    const TComp32 port(dir.path());
    EXPECT_EQ(port.PortPath(7), dir.file("com7"));
    EXPECT_EQ(port.PortPath(1), "/dev/ttyS0");
    EXPECT_EQ(port.PortPath(33), "/dev/ttyUSB0");
    EXPECT_EQ(port.PortPath(64), "/dev/ttyUSB31");
    EXPECT_EQ(port.PortPath(65), "/dev/ttyACM0");
    EXPECT_EQ(port.PortPath(96), "/dev/ttyACM31");
    EXPECT_EQ(port.PortPath(97), "");
    EXPECT_EQ(port.PortPath(0), "");
    pty.LinkAs(dir.path(), 200);
    EXPECT_EQ(port.PortPath(200), dir.file("com200"));
}

TEST_F(PortOnPty, OpenIsExclusiveAcrossDescriptors) {
    TComp32 first(dir.path());
    TComp32 second(dir.path());
    ASSERT_TRUE(first.Probe(7));
    ASSERT_TRUE(first.Open(7, 9600));
    EXPECT_TRUE(first.IsOpen());
    EXPECT_FALSE(second.Probe(7));
    EXPECT_FALSE(second.Open(7, 9600));
    EXPECT_FALSE(second.IsOpen());
    EXPECT_FALSE(first.Probe(7)) << "the holder's own probe fails too";
    EXPECT_TRUE(first.Close());
    EXPECT_TRUE(second.Probe(7));
    EXPECT_TRUE(second.Open(7, 9600));
}

// The operator's account has no privilege to open a tty another holder marked exclusive, and a
// pseudo-terminal keeps that mark after the last close while its master lives: a probe or a
// stopped service must not leave the simulator's port closed to the program itself.
TEST_F(PortOnPty, AClosedPortIsOpenToAnUnprivilegedUserAgain) {
    TComp32 port(dir.path());
    ASSERT_TRUE(port.Probe(7));
    ASSERT_TRUE(port.Open(7, 9600));
    ASSERT_TRUE(port.Close());
    ASSERT_EQ(::chmod(pty.slave_path().c_str(), 0666), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::geteuid() == 0 && ::setuid(65534) != 0) {
            ::_exit(100);
        }
        const int fd = ::open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ::_exit(fd >= 0 ? 0 : errno);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "errno of the open: " << WEXITSTATUS(status);
}

TEST_F(PortOnPty, MissingPortsFailAndLeaveNothingOpen) {
    TComp32 port(dir.path());
    for (const int n : {0, 31, 97, 255}) {
        EXPECT_FALSE(port.Probe(static_cast<std::uint8_t>(n))) << n;
        EXPECT_FALSE(port.Open(static_cast<std::uint8_t>(n), 9600)) << n;
        EXPECT_FALSE(port.IsOpen()) << n;
    }
    EXPECT_FALSE(port.Open(7, 12345)) << "an unsupported speed is an open failure";
    EXPECT_FALSE(port.IsOpen());
    EXPECT_TRUE(port.Probe(7)) << "the failed open released the port";
}

TEST_F(PortOnPty, ClosedPortRefusesEverythingButClose) {
    TComp32 port(dir.path());
    std::uint8_t buffer[8];
    int got = -1;
    int written = -1;
    EXPECT_TRUE(port.Close());
    EXPECT_TRUE(port.Close());
    EXPECT_FALSE(port.Read(buffer, 8, 10, got));
    EXPECT_FALSE(port.Write(buffer, written, 8));
    EXPECT_FALSE(port.Purge(15));
    EXPECT_FALSE(port.SetDtr(true));
    EXPECT_FALSE(port.SetRts(false));
}

TEST_F(PortOnPty, ReadTimesOutAndNeverTakesMoreThanFits) {
    TComp32 port(dir.path());
    ASSERT_TRUE(port.Open(7, 9600));
    std::uint8_t buffer[64] = {};
    int got = -1;
    const std::uint64_t started = TComp32::GetMsTime();
    EXPECT_FALSE(port.Read(buffer, sizeof buffer, 200, got));
    EXPECT_EQ(got, 0);
    EXPECT_GE(TComp32::GetMsTime() - started, 190u);
    EXPECT_FALSE(port.IsFailed());

    pty.Send({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    got = -1;
    EXPECT_FALSE(port.Read(buffer, 4, 1000, got)) << "10 bytes queued, room for 4";
    EXPECT_EQ(got, 0);
    ASSERT_TRUE(port.Read(buffer, sizeof buffer, 1000, got));
    EXPECT_EQ(Bytes(buffer, buffer + got), (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
}

TEST_F(PortOnPty, HungUpDeviceFailsAfterTheTimeoutAndIsReported) {
    TComp32 port(dir.path());
    ASSERT_TRUE(port.Open(7, 9600));
    pty.CloseMaster();
    std::uint8_t buffer[16];
    int got = -1;
    const std::uint64_t started = TComp32::GetMsTime();
    EXPECT_FALSE(port.Read(buffer, sizeof buffer, 300, got));
    EXPECT_GE(TComp32::GetMsTime() - started, 290u) << "a dead port must not make a busy loop";
    EXPECT_TRUE(port.IsFailed());
    int written = 0;
    EXPECT_FALSE(port.Write(buffer, written, 4));
    EXPECT_TRUE(port.Close());
}

TEST_F(PortOnPty, SendIsCutOutByParseOnTheOtherEndByteForByte) {
    TKordeya32 pc(dir.path(), 0xA1B2C3D4u, TPosixSerialSys::Instance());
    ASSERT_TRUE(pc.Open(7));
    ASSERT_TRUE(pc.Send(GET_WHOIS, 5, 0x00C0DB01u, nullptr, 0));
    const Bytes wire = pty.Receive(1000, 19);
    EXPECT_EQ(wire, (Bytes{0xC0, 0x0C, 0x00, 0x00, 0x05, 0x01, 0xDB, 0xDD, 0xDB, 0xDC, 0x00, 0xFF,
                           0xD4, 0xC3, 0xB2, 0xA1, 0x03, 0x00, 0xA9}));

    // The same bytes, sent back, come out of Read and Parse as the decoded frame.
    const Bytes payload = {0x00, 0xC0, 0xDB, 0x7F};
    ASSERT_TRUE(pc.Send(GET_LINES, 9, 0x12345678u, payload.data(), 4));
    const Bytes sent = pty.Receive(1000, pc.TransmitLength());
    ASSERT_EQ(sent, Bytes(pc.TransmitBuffer(), pc.TransmitBuffer() + pc.TransmitLength()));
    pty.Send(sent);

    TKordeya32 listener(dir.path());
    std::uint8_t buffer[16384];
    int used = 0;
    bool parsed = false;
    for (int attempt = 0; attempt < 20 && !parsed; ++attempt) {
        int got = 0;
        if (pc.Read(buffer + used, static_cast<int>(sizeof buffer) - used, 200, got)) {
            used += got;
        }
        int consumed = 0;
        parsed = listener.Parse(buffer, used, consumed, false);
    }
    ASSERT_TRUE(parsed);
    std::uint8_t decoded[768];
    const int n = TKordeya32::Decode(sent.data(), static_cast<int>(sent.size()), decoded,
                                     static_cast<int>(sizeof decoded));
    EXPECT_EQ(Bytes(listener.Frame(), listener.Frame() + listener.FrameLength()),
              Bytes(decoded, decoded + n));
    EXPECT_EQ(listener.Frame()[frame::OFS_COMMAND], GET_LINES);
    EXPECT_EQ(listener.Frame()[frame::OFS_SRC_ADDRESS], 255);
}

TEST_F(PortOnPty, OverlongFrameIsNotTransmitted) {
    TKordeya32 pc(dir.path(), 0x01020304u, TPosixSerialSys::Instance());
    ASSERT_TRUE(pc.Open(7));
    const Bytes payload(760, 0x11);
    EXPECT_FALSE(pc.Send(GET_LINES, 1, 1, payload.data(), 760));
    EXPECT_TRUE(pty.Receive(200).empty());
    // 1 + 2 + 12 + 748 + 2 bytes, plus at most two for a stuffed CRC: still within 767.
    ASSERT_TRUE(pc.Send(GET_LINES, 1, 1, payload.data(), 748));
    EXPECT_GE(pc.TransmitLength(), 765);
    EXPECT_EQ(pty.Receive(1000, pc.TransmitLength()).size(),
              static_cast<std::size_t>(pc.TransmitLength()));
}

TEST_F(PortOnPty, ModemLineControlFailsOnAPseudoTerminal) {
    // Pseudo-terminals have no DTR/RTS: a port set to drive them cannot open.
    TKordeya32 pc(dir.path());
    pc.SetOptions(true, false, false);
    EXPECT_FALSE(pc.Open(7));
    EXPECT_FALSE(pc.IsOpen());
    pc.SetOptions(false, false, false);
    EXPECT_TRUE(pc.Open(7));
}

TEST_F(PortOnPty, APseudoTerminalHasNoRs485ModeAndSaysSo) {
    TKordeya32 pc(dir.path());
    pc.SetOptions(false, false, false, true);
    ASSERT_TRUE(pc.Open(7)) << "the bus is listened to without the mode";
    EXPECT_EQ(pc.KernelMode(), TRs485::TKernelMode::Refused);
    EXPECT_EQ(pc.KernelError(), ENOTTY);
    ASSERT_TRUE(pc.Send(GET_WHOIS, 5, 1, nullptr, 0));
    const auto sent = static_cast<std::size_t>(pc.TransmitLength());
    EXPECT_EQ(pty.Receive(1000, sent).size(), sent);
    pc.Close();
    int rs485 = -1;
    EXPECT_EQ(pc.ProbeState(7, nullptr, &rs485), TPortState::Free);
    EXPECT_EQ(rs485, 0) << "the list says so before any open";
}

TEST_F(PortOnPty, NoFlowControlBytesOnTheBusAndTheRestAsTheDesignSays) {
    // Another program left the line cooked, slow, with parity, two stop bits, XON/XOFF both
    // ways and hardware flow control.
    const int other = ::open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    termios tio{};
    ASSERT_EQ(::tcgetattr(other, &tio), 0);
    tio.c_iflag |= IXON | IXOFF | IXANY | ICRNL;
    tio.c_oflag |= OPOST;
    tio.c_lflag |= ICANON | ECHO | ISIG;
    tio.c_cflag |= PARENB | CSTOPB | CRTSCTS;
    ::cfsetispeed(&tio, B1200);
    ::cfsetospeed(&tio, B1200);
    ASSERT_EQ(::tcsetattr(other, TCSANOW, &tio), 0);

    TComp32 port(dir.path());
    ASSERT_TRUE(port.Open(7, 9600));
    ASSERT_EQ(::tcgetattr(other, &tio), 0);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY), 0u) << "the driver sends no XON/XOFF";
    EXPECT_EQ(tio.c_iflag & (ICRNL | ISTRIP | INLCR | IGNCR), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_EQ(tio.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
    EXPECT_NE(tio.c_cflag & CRTSCTS, 0u) << "hardware flow control stays as the driver had it";
    EXPECT_EQ(::cfgetispeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
    ::close(other);
}
