// The real service (port, bus cycle, handlers, database) against the bus simulator on the other
// side of a pseudo-terminal.
#include "buslink/state_codes.h"
#include "database/record_types.h"
#include "support/bus_fixture.h"
#include "support/locker_process.h"
#include "support/pty_pair.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <sys/ioctl.h>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;

using BusEndToEnd = BusFixture;

constexpr std::uint32_t PANEL_1 = 0x11111111;
constexpr std::uint32_t PANEL_2 = 0x22222222;
constexpr std::uint32_t PANEL_3 = 0x33333333;

// The fixture's panels through discovery, a loop alarm, a relay switched on and a loop switched
// off by the operator. Every answer is taken the first time, so each read is asked for once: a
// lost answer shows as the same request made again.
class AnswersTakenOnce : public BusFixture {
protected:
    using BusFixture::BusFixture;

    bool Recorded(std::uint32_t id, int type, std::int32_t value) {
        return Eventually([&] { return CountRecords(id, type, value) == 1; });
    }

    void EveryAnswerIsTakenTheFirstTime() {
        device->SetService(true);
        ASSERT_TRUE(device->IsRunning());
        ASSERT_TRUE(Eventually([this] { return AllComplete(); }));
        ASSERT_TRUE(Inject(TSimAction::Loop, 1, 2, 0x0C));
        ASSERT_TRUE(Recorded(PANEL_1, LINE_STATE, 0x2000C));
        ASSERT_TRUE(Inject(TSimAction::Relay, 3, 1, 1));
        ASSERT_TRUE(Recorded(PANEL_3, RELAY_STATE, 0x10001));
        device->remote_command.device_id = PANEL_2;
        device->remote_command.address = 2;
        device->remote_command.index = 1;
        device->SetRemoteCommand(REMOTE_LINE_STATE, 3, 0);
        ASSERT_TRUE(Recorded(PANEL_2, LINE_ON_OFF, 0x10200));
        ASSERT_TRUE(Recorded(PANEL_2, LINE_STATE, 1 << 16 | statecode::LOOP_OFF));

        std::map<std::pair<std::uint32_t, int>, int> asked;
        for (const TSimJournalEntry& e : sim.Journal().Since()) {
            if (e.kind == TSimEntryKind::Received) {
                EXPECT_TRUE(e.answered) << e.text;
                ++asked[{e.device_id, e.command}];
            }
        }
        const std::map<std::pair<std::uint32_t, int>, int> once = {
            {{PANEL_1, GET_WHOIS}, 1}, {{PANEL_1, GET_LINES}, 2}, {{PANEL_1, GET_RELAYS}, 1},
            {{PANEL_2, GET_WHOIS}, 1}, {{PANEL_2, GET_LINES}, 2}, {{PANEL_2, REMOTE_LINE_STATE}, 1},
            {{PANEL_3, GET_WHOIS}, 1}, {{PANEL_3, GET_RELAYS}, 2}};
        EXPECT_EQ(asked, once);
        // Discovery and recovery of each panel, the loop's alarm and new type, the relay, the
        // command and the loop it switched off: nothing else.
        EXPECT_EQ(Records().size(), 11u);
    }
};

// A panel may begin its answer as soon as the PC's last byte has left.
class AnswerDelay : public AnswersTakenOnce, public ::testing::WithParamInterface<double> {};

// The PC's serial calls on a pseudo-terminal behind an RS-485 adapter that hears its own
// transmission: RTS switches the direction (a pseudo-terminal has no modem lines, so this layer
// keeps their level), and the echo of a frame reaches the input queue before the line is
// switched back to receive (a drain that returns once the echo is in), or after it (the bytes
// leave the adapter only after the switch, as when a drain returns early).
class EchoingAdapter final : public ISerialSys {
public:
    enum class TEcho : std::uint8_t { BeforeTheSwitch, AfterTheSwitch };

    std::atomic<TEcho> echo{TEcho::BeforeTheSwitch};
    // Frames whose echo was in the input queue before the switch to receive.
    std::atomic<int> echoed_before_switch{0};
    std::atomic<int> frames{0};

    int Open(const char* path) override { return real_.Open(path); }
    int Close(int fd) override { return real_.Close(fd); }
    int LockExclusive(int fd) override { return real_.LockExclusive(fd); }
    int Configure(int fd, std::uint32_t baud) override { return real_.Configure(fd, baud); }
    int Flush(int fd, int queue) override { return real_.Flush(fd, queue); }
    int WaitReadable(int fd, int timeout_ms) override { return real_.WaitReadable(fd, timeout_ms); }
    int Queued(int fd) override { return real_.Queued(fd); }
    ssize_t Read(int fd, void* buffer, std::size_t size) override {
        return real_.Read(fd, buffer, size);
    }

    int SetModemLine(int fd, int line, bool on) override {
        // Without inversion RTS is asserted while receiving.
        if (line == TIOCM_RTS && on && !held_.empty()) {
            const ssize_t n = real_.Write(fd, held_.data(), held_.size());
            held_.clear();
            return n < 0 ? -1 : 0;
        }
        return 0;
    }
    ssize_t Write(int fd, const void* data, std::size_t size) override {
        if (echo == TEcho::AfterTheSwitch) {
            const auto* bytes = static_cast<const std::uint8_t*>(data);
            held_.insert(held_.end(), bytes, bytes + size);
            return static_cast<ssize_t>(size);
        }
        if (expected_ < 0) {
            expected_ = real_.Queued(fd);
        }
        const ssize_t n = real_.Write(fd, data, size);
        expected_ += n > 0 ? static_cast<int>(n) : 0;
        return n;
    }
    // Once per frame, after its last write.
    int Drain(int fd) override {
        ++frames;
        if (echo == TEcho::BeforeTheSwitch) {
            // The adapter's own receiver has heard every byte by the time the last one has left.
            const auto end = std::chrono::steady_clock::now() + 5s;
            while (real_.Queued(fd) < expected_ && std::chrono::steady_clock::now() < end) {
                std::this_thread::sleep_for(100us);
            }
            echoed_before_switch += real_.Queued(fd) >= expected_ ? 1 : 0;
            expected_ = -1;
        }
        return real_.Drain(fd);
    }

private:
    TPosixSerialSys& real_ = TPosixSerialSys::Instance();
    std::vector<std::uint8_t> held_;
    // What the input queue holds once the frame being written has come back; -1 between frames.
    int expected_ = -1;
};

// Made before the fixture, whose port goes through it.
struct AdapterInstalled {
    EchoingAdapter adapter;
};

class AdapterEcho : public AdapterInstalled, public AnswersTakenOnce {
protected:
    AdapterEcho() : AnswersTakenOnce(ProgramDir(), TSQLite::BusyTimeoutMs, adapter) {}

    void SetUp() override {
        AnswersTakenOnce::SetUp();
        settings.ctrl_rts = true;
        sim.Stop();
        TSimOptions options = SimOptions();
        options.echo = true;
        options.answer_delay_ms = 0; // the answer right behind the echo
        ASSERT_TRUE(StartSim(options));
    }
};

// The real calls, counting the opens (a port that is waited for is tried at each read's time),
// and a driver that has the kernel's RS-485 mode when told, which no pseudo-terminal has.
class PortCalls final : public ISerialSys {
public:
    std::atomic<int> opens{0};
    std::atomic<bool> rs485{false};

    int Open(const char* path) override {
        ++opens;
        return real_.Open(path);
    }
    int Close(int fd) override { return real_.Close(fd); }
    int LockExclusive(int fd) override { return real_.LockExclusive(fd); }
    int Configure(int fd, std::uint32_t baud) override { return real_.Configure(fd, baud); }
    int Flush(int fd, int queue) override { return real_.Flush(fd, queue); }
    int SetModemLine(int fd, int line, bool on) override {
        return real_.SetModemLine(fd, line, on);
    }
    int WaitReadable(int fd, int timeout_ms) override { return real_.WaitReadable(fd, timeout_ms); }
    int Queued(int fd) override { return real_.Queued(fd); }
    ssize_t Read(int fd, void* buffer, std::size_t size) override {
        return real_.Read(fd, buffer, size);
    }
    ssize_t Write(int fd, const void* data, std::size_t size) override {
        return real_.Write(fd, data, size);
    }
    int Drain(int fd) override { return real_.Drain(fd); }
    int SetRs485(int fd, TKernelRs485& config) override {
        return rs485 ? 0 : real_.SetRs485(fd, config);
    }

private:
    TPosixSerialSys& real_ = TPosixSerialSys::Instance();
};

struct PortCallsInstalled {
    PortCalls sys;
};

class ServicePort : public PortCallsInstalled, public BusFixture {
protected:
    ServicePort() : BusFixture(ProgramDir(), TSQLite::BusyTimeoutMs, sys) {}

    // Waits until the bus thread has tried the port `times` more times.
    bool Retried(int times) {
        const int from = sys.opens;
        return Eventually([&] { return sys.opens >= from + times; });
    }
};

} // namespace

TEST_F(BusEndToEnd, DiscoveryFromNothingToCompleteInformation) {
    device->SetService(true);
    ASSERT_TRUE(device->IsRunning());
    ASSERT_TRUE(Eventually([this] { return AllComplete(); }));
    for (const std::uint32_t id : {0x11111111u, 0x22222222u, 0x33333333u}) {
        EXPECT_EQ(CountRecords(id, FIND_NEW_DEVICE), 1) << std::hex << id;
        EXPECT_EQ(CountRecords(id, RECOVERY_DEVICE), 1) << std::hex << id;
    }
    const TDeviceRecord first = device->GetItem(device->FindDevice(0x11111111))->record.Get();
    EXPECT_EQ(first.lines, 8);
    EXPECT_EQ(first.relays, 4);
    EXPECT_STREQ(first.const_name, Utf8ToCp1251("Прибор-1").c_str());
    EXPECT_EQ(device->GetOnlineCount(), 3);
    // The PC asked each device for exactly what it lacked.
    EXPECT_TRUE(sim.Journal().WaitForCommand(GET_LINES, 0));
    EXPECT_TRUE(sim.Journal().WaitForCommand(GET_RELAYS, 0));
}

TEST_F(BusEndToEnd, FullSizePanelTrickledByteByByteIsReadCompletely) {
    sim.Stop();
    scenario.devices = {Panel(1, 0x44444444, 256, 128)};
    ASSERT_TRUE(StartSim(TSimPace::Realtime, 1));
    device->SetService(true);
    ASSERT_TRUE(Eventually(
        [this] { return device->GetCount() == 1 && device->GetItem(0)->info_complete; }, 60));
    ASSERT_TRUE(Inject(TSimAction::Loop, 1, 255, 0x0C));
    EXPECT_TRUE(
        Eventually([this] { return CountRecords(0x44444444, LINE_STATE, 0xFF000C) == 1; }, 60));
}

TEST_F(BusEndToEnd, LoopAlarmIsRecordedWithItsValueAndSoundsTheAlarm) {
    device->SetService(true);
    ASSERT_TRUE(Eventually([this] { return AllComplete(); }));
    ASSERT_TRUE(Inject(TSimAction::Loop, 1, 2, 0x0C)); // loop 3: state 4, type 1
    ASSERT_TRUE(Inject(TSimAction::Summary, 1, 0, 4));
    ASSERT_TRUE(Eventually([this] { return CountRecords(0x11111111, LINE_STATE, 0x2000C) == 1; }));
    ASSERT_TRUE(Eventually([this] { return CountRecords(0x11111111, MAX_STATE, 4) == 1; }));
    EXPECT_EQ(sound->GetSound(), SOUND_ALARM);
    const TDeviceEntry& e = *device->GetItem(device->FindDevice(0x11111111));
    EXPECT_EQ(e.line[2].state, 0x0C);
    EXPECT_EQ(e.max_state, 4);
}

TEST_F(BusEndToEnd, RemoteCommandReachesTheDeviceAtTheNextTurnAndIsAcknowledged) {
    device->SetService(true);
    ASSERT_TRUE(Eventually([this] { return AllComplete(); }));
    const std::uint64_t mark = sim.Journal().LastSeq();
    device->remote_command.device_id = 0x11111111;
    device->remote_command.address = 1;
    device->remote_command.index = 2;
    device->SetRemoteCommand(REMOTE_LINE_STATE, 3, 1); // "+ Включить ШС" on loop 3
    TSimJournalEntry got;
    ASSERT_TRUE(sim.Journal().WaitForCommand(REMOTE_LINE_STATE, 10000, &got, mark));
    ASSERT_GE(got.bytes.size(), 20u);
    EXPECT_EQ(got.bytes[4], 1) << "destination address";
    EXPECT_EQ(got.bytes[14], REMOTE_LINE_STATE);
    EXPECT_EQ(TBytes(got.bytes.begin() + 15, got.bytes.begin() + 18), (TBytes{0x02, 0x00, 0x01}));
    EXPECT_TRUE(got.answered);
    ASSERT_TRUE(Eventually([this] { return CountRecords(0x11111111, LINE_ON_OFF, 0x20201) == 1; }));
    EXPECT_FALSE(device->remote_command.pending);
}

// Id 0 is a device's like any other: its row is stored, so its records are listed with its
// name, and its acknowledgements count.
TEST_F(BusEndToEnd, DeviceIdZeroIsListedAndAcknowledgedLikeAnyOther) {
    sim.Stop();
    scenario.devices = {Panel(1, 0, 4, 0), Panel(2, PANEL_2, 4, 0)};
    ASSERT_TRUE(StartSim());
    device->SetService(true);
    ASSERT_TRUE(Eventually([this] {
        return device->GetCount() == 2 && device->GetItem(0)->info_complete &&
               device->GetItem(1)->info_complete;
    }));
    EXPECT_EQ(CountRecords(0, FIND_NEW_DEVICE), 1);
    device->remote_command.device_id = 0;
    device->remote_command.address = 1;
    device->remote_command.index = 2;
    device->SetRemoteCommand(REMOTE_LINE_STATE, 3, 0); // "-- Выключить ШС" on loop 3
    ASSERT_TRUE(Eventually([this] { return CountRecords(0, LINE_ON_OFF, 0x20200) == 1; }));

    std::vector<TRecordRow> rows(100);
    int count = static_cast<int>(rows.size());
    ASSERT_TRUE(sqlite->SelectRecords(0, count, rows));
    const std::vector<StoredRecord> stored = Records();
    EXPECT_EQ(count, static_cast<int>(stored.size())) << "every record is listed";
    int listed_zero = 0;
    for (int i = 0; i < count; ++i) {
        const TRecordRow& row = rows[static_cast<std::size_t>(i)];
        if (row.device_id == 0) {
            ++listed_zero;
            EXPECT_STREQ(row.const_name, Utf8ToCp1251("Прибор-1").c_str());
        }
    }
    EXPECT_EQ(listed_zero, static_cast<int>(std::count_if(
                               stored.begin(), stored.end(),
                               [](const StoredRecord& r) { return r.device_id == 0; })));
    EXPECT_GE(listed_zero, 3);
}

TEST_F(BusEndToEnd, SilentDeviceIsLostOnceAndRecoversOnce) {
    device->SetService(true);
    ASSERT_TRUE(Eventually([this] { return AllComplete(); }));
    ASSERT_TRUE(Inject(TSimAction::Silent, 2, 0, 0));
    // More than 30 s of reading time without an answer of it.
    ASSERT_TRUE(Eventually([this] { return CountRecords(0x22222222, LOSS_DEVICE) == 1; }, 60));
    const TDeviceEntry& e = *device->GetItem(device->FindDevice(0x22222222));
    EXPECT_FALSE(e.online);
    EXPECT_EQ(device->GetOnlineCount(), 2);
    ASSERT_TRUE(Inject(TSimAction::Back, 2, 0, 0));
    ASSERT_TRUE(Eventually([this] { return CountRecords(0x22222222, RECOVERY_DEVICE) == 2; }));
    EXPECT_TRUE(e.online);
    EXPECT_EQ(CountRecords(0x22222222, LOSS_DEVICE), 1);
    EXPECT_EQ(CountRecords(0x11111111, LOSS_DEVICE), 0);
}

TEST_F(BusEndToEnd, UnpluggedAdapterIsReportedOnceAndReopenedWhenItComesBack) {
    device->SetService(true);
    ASSERT_TRUE(Eventually([this] { return AllComplete(); }));
    sim.Stop(); // the line goes dead and its link disappears
    ASSERT_TRUE(Eventually([this] { return LogHas(LOG_TYPE_ERROR, "Ошибка чтения COM порта"); }));
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(CountLog(LOG_TYPE_ERROR, "Ошибка чтения COM порта"), 1)
        << "logged once, not at every read";

    ASSERT_TRUE(StartSim());
    ASSERT_TRUE(Eventually([this] { return LogHas(LOG_TYPE_INFO, "COM порт снова доступен"); }));
    ASSERT_TRUE(Inject(TSimAction::Battery, 3, 0, 3));
    EXPECT_TRUE(Eventually([this] { return CountRecords(0x33333333, DEVICE_BATTERY, 3) == 1; }));
}

TEST_F(BusEndToEnd, AnAdapterBackUnderAnotherTtyIsFoundThroughItsByIdLink) {
    // ports/com9 names the adapter by its stable name; the tty behind that name changes.
    sim.Stop();
    const std::string by_id = dir.file("by-id");
    TSimOptions options = SimOptions();
    options.ports_dir = by_id;
    ASSERT_TRUE(StartSim(options));
    std::filesystem::create_symlink(by_id + "/com9", dir.file("com9"));
    const std::string first = std::filesystem::read_symlink(by_id + "/com9").string();
    device->SetService(true);
    ASSERT_TRUE(Eventually([this] { return AllComplete(); }));

    sim.Stop(); // pulled out: the tty goes and its by-id link with it
    ASSERT_TRUE(Eventually([this] { return !device->GetPortStatus().open; })); // closed by now
    PtyPair taken; // the tty's number, freed by the port's close, is not free for the return
    ASSERT_TRUE(StartSim(options)); // plugged back: another tty, the same by-id name
    const std::string second = std::filesystem::read_symlink(by_id + "/com9").string();
    ASSERT_NE(second, first);
    ASSERT_TRUE(
        Eventually([this] { return LogHas(LOG_TYPE_INFO, "COM порт снова доступен: COM9"); }));
    ASSERT_TRUE(Inject(TSimAction::Loop, 2, 1, 0x0C));
    EXPECT_TRUE(Eventually([this] { return CountRecords(PANEL_2, LINE_STATE, 0x1000C) == 1; }));
}

TEST_F(BusEndToEnd, ServiceStopsAndStartsWhileTheBusRuns) {
    device->SetService(true);
    ASSERT_TRUE(Eventually([this] { return AllComplete(); }));
    views.Take();
    device->SetService(false);
    EXPECT_FALSE(device->IsRunning());
    EXPECT_FALSE(port.IsOpen());
    EXPECT_FALSE(sqlite->IsActive());
    EXPECT_FALSE(LogHas(LOG_TYPE_ERROR, "Ошибка освобождения COM порта"));
    EXPECT_EQ(views.Take(), "-S");
    device->SetService(false);
    EXPECT_EQ(views.Take(), "S") << "a second stop only refreshes the status bar";

    ASSERT_TRUE(Inject(TSimAction::Power, 1, 0, 0)); // happens while nobody listens
    device->SetService(true);
    EXPECT_TRUE(device->IsRunning());
    EXPECT_TRUE(Eventually([this] { return CountRecords(0x11111111, DEVICE_POWER, 0) == 1; }));
    device->SetService(true);
    EXPECT_TRUE(LogHas(LOG_TYPE_INFO, "Запуск ядра Кордея-ТЛ"));
}

TEST_F(ServicePort, APortHeldElsewhereAtStartIsWaitedForAndOpenedWhenFreed) {
    TComp32 other(dir.path());
    ASSERT_TRUE(other.Open(COM, 9600));
    device->SetService(true);
    EXPECT_TRUE(device->IsRunning()) << "the service runs and waits for its port";
    EXPECT_TRUE(LogHas(LOG_TYPE_INFO, "Инициализация COM порта"));
    const std::string path = dir.file("com9");
    EXPECT_EQ(CountLog(LOG_TYPE_ERROR, "Ошибка открытия COM порта COM9 (" + path + " -> "), 1);
    EXPECT_TRUE(LogHas(LOG_TYPE_ERROR, "занят другой программой"));
    EXPECT_EQ(device->GetPortProblemText(), "Порт COM9 не открыт: занят другой программой");
    const TDevice::TPortStatus status = device->GetPortStatus();
    EXPECT_EQ(status.port, COM);
    EXPECT_FALSE(status.open);
    EXPECT_EQ(status.path.rfind(path + " -> /dev/pts/", 0), 0u) << status.path;
    ASSERT_TRUE(Retried(3));
    EXPECT_EQ(CountLog(LOG_TYPE_ERROR, "Ошибка открытия COM порта"), 1) << "said once";

    other.Close();
    ASSERT_TRUE(Eventually([this] { return LogHas(LOG_TYPE_INFO, "COM порт открыт: COM9"); }));
    EXPECT_TRUE(device->GetPortStatus().open);
    EXPECT_EQ(device->GetPortProblemText(), "");
    EXPECT_TRUE(Eventually([this] { return AllComplete(); }));
    EXPECT_TRUE(views.Take().find('S') != std::string::npos) << "the status bar was told";

    device->SetService(false);
    EXPECT_FALSE(LogHas(LOG_TYPE_ERROR, "Ошибка освобождения COM порта"));
    device->SetService(true);
    EXPECT_EQ(CountLog(LOG_TYPE_INFO, "Инициализация процесса"), 1)
        << "the bus cycle thread is created once";
}

TEST_F(ServicePort, APortAbsentAtStartIsOpenedWhenItAppearsAndItsChangesAreRecorded) {
    sim.Stop(); // no ports/com9 link: the adapter is not plugged in yet
    device->SetService(true);
    ASSERT_TRUE(device->IsRunning());
    // Without the link, COM9 is /dev/ttyS8, which this machine has not either.
    EXPECT_EQ(CountLog(LOG_TYPE_ERROR, "Ошибка открытия COM порта COM9 (" + port.PortPath(COM) +
                                           "): нет устройства, [2] "),
              1);
    EXPECT_EQ(device->GetPortProblemText(), "Порт COM9 не открыт: нет устройства");
    ASSERT_TRUE(Retried(3)); // the adapter is plugged in some seconds later

    ASSERT_TRUE(StartSim());
    ASSERT_TRUE(Eventually([this] { return LogHas(LOG_TYPE_INFO, "COM порт открыт: COM9"); }));
    ASSERT_TRUE(Eventually([this] { return AllComplete(); }));
    ASSERT_TRUE(Inject(TSimAction::Loop, 1, 2, 0x0C));
    ASSERT_TRUE(Inject(TSimAction::Battery, 3, 0, 3));
    EXPECT_TRUE(Eventually([this] { return CountRecords(PANEL_1, LINE_STATE, 0x2000C) == 1; }));
    EXPECT_TRUE(Eventually([this] { return CountRecords(PANEL_3, DEVICE_BATTERY, 3) == 1; }));
    for (const std::uint32_t id : {PANEL_1, PANEL_2, PANEL_3}) {
        EXPECT_EQ(CountRecords(id, FIND_NEW_DEVICE), 1) << std::hex << id;
    }
    EXPECT_EQ(CountLog(LOG_TYPE_ERROR, "Ошибка открытия COM порта"), 1);
}

TEST_F(ServicePort, TheDriversRs485ModeIsReportedWhetherItSwitchesTheLineOrNot) {
    settings.ctrl_rs485 = true;
    device->SetService(true);
    ASSERT_TRUE(device->IsRunning());
    EXPECT_EQ(CountLog(LOG_TYPE_ERROR,
                       "COM9: драйвер порта не поддерживает RS-485 ядра (TIOCSRS485): [25] "),
              1);
    EXPECT_TRUE(LogHas(LOG_TYPE_ERROR, "; направление линии не переключается"));
    EXPECT_EQ(device->GetPortText(), "COM9 без RS-485");
    EXPECT_TRUE(Eventually([this] { return AllComplete(); })) << "the bus is heard all the same";

    device->SetService(false);
    sys.rs485 = true;
    device->SetService(true);
    EXPECT_TRUE(LogHas(LOG_TYPE_INFO,
                       "COM9: линию переключает драйвер порта (RS-485 ядра), RTS "
                       "при передаче: выкл., задержки до и после передачи: 0 и 0 мс"));
    EXPECT_EQ(device->GetPortText(), "COM9 RS-485");
    EXPECT_EQ(CountLog(LOG_TYPE_ERROR, "RS-485 ядра"), 1);
    device->remote_command.device_id = PANEL_1;
    device->remote_command.address = 1;
    device->remote_command.index = 0;
    device->SetRemoteCommand(REMOTE_RESET_LINE, 2, 0);
    EXPECT_TRUE(Eventually([this] { return CountRecords(PANEL_1, LINE_RESET) == 1; }))
        << "the program's frames go out";
}

TEST_F(BusEndToEnd, AStartWithNoPortConfiguredSaysSoAndStaysStopped) {
    settings.com_num = 0;
    device->SetService(true);
    EXPECT_FALSE(device->IsRunning());
    EXPECT_TRUE(LogHas(LOG_TYPE_ERROR, "COM порт не выбран"));
}

TEST_F(BusEndToEnd, LoopsThatKeepChangingStarveNeitherOtherPanelsNorTheirOwnRelays) {
    device->SetService(true);
    ASSERT_TRUE(Eventually([this] { return AllComplete(); }));
    // Panel 1 has loops to read at every turn while this runs.
    std::atomic<bool> busy{true};
    std::thread changer([this, &busy] {
        std::uint32_t value = 0;
        while (busy) {
            value ^= 1;
            TSimEvent e;
            e.action = TSimAction::Loop;
            e.device = 1;
            e.index = 0;
            e.value = value;
            std::string error;
            sim.Inject(e, error);
            std::this_thread::sleep_for(1ms);
        }
    });
    const auto read_of = [](std::uint8_t command, std::uint32_t id) {
        return [command, id](const TSimJournalEntry& e) {
            return e.kind == TSimEntryKind::Received && e.command == command && e.device_id == id;
        };
    };
    TSimJournalEntry read;
    ASSERT_TRUE(sim.Journal().WaitFor(read_of(GET_LINES, 0x11111111), 10000, &read));
    ASSERT_TRUE(Inject(TSimAction::Loop, 2, 3, 0x02)); // panel 2, after panel 1 in the table
    ASSERT_TRUE(Inject(TSimAction::Relay, 1, 1, 1));   // relay 2 of panel 1
    const std::uint64_t injected = sim.Journal().LastSeq();
    TSimJournalEntry panel_2;
    TSimJournalEntry relays;
    const bool heard =
        sim.Journal().WaitFor(read_of(GET_LINES, 0x22222222), 30000, &panel_2, injected) &&
        sim.Journal().WaitFor(read_of(GET_RELAYS, 0x11111111), 30000, &relays, injected);
    busy = false;
    changer.join();
    ASSERT_TRUE(heard);
    // Counted in requests, not in time: each waits for at most one read of panel 1's loops
    // besides the request already on its way.
    int before_panel_2 = 0;
    int before_relays = 0;
    for (const TSimJournalEntry& e : sim.Journal().Since(injected)) {
        const bool loops_of_1 = read_of(GET_LINES, 0x11111111)(e);
        before_panel_2 += loops_of_1 && e.seq < panel_2.seq ? 1 : 0;
        before_relays += loops_of_1 && e.seq < relays.seq ? 1 : 0;
    }
    EXPECT_LE(before_panel_2, 2);
    EXPECT_LE(before_relays, 2);
    EXPECT_TRUE(Eventually([this] { return CountRecords(0x22222222, LINE_STATE, 0x30002) == 1; }));
    EXPECT_TRUE(Eventually([this] { return CountRecords(0x11111111, RELAY_STATE, 0x10001) == 1; }));
}

TEST_F(BusEndToEnd, ASilentLineIsSaidOnceSoundedAndItsReturnToo) {
    sim.Stop();
    PtyPair line; // an adapter with nothing on its bus
    ASSERT_TRUE(line.ok());
    line.LinkAs(dir.path(), COM);
    sound->SetSound(SOUND_OFF);
    device->SetService(true);
    ASSERT_TRUE(device->IsRunning());
    ASSERT_TRUE(Eventually([this] { return device->IsLineSilent(); }));
    EXPECT_EQ(sound->GetSound(), SOUND_FAILURE);
    const std::string path = dir.path() + "/com" + std::to_string(COM);
    EXPECT_EQ(CountLog(LOG_TYPE_ERROR,
                       "Нет обмена по линии COM9 (" + path + " -> " + line.slave_path() + ")"),
              1);

    TSimFrame poll;
    poll.command = FIND_DEVICE;
    poll.dst_address = TKordeya32::OWN_ADDRESS;
    poll.src_id = 0x0A11;
    line.Send(simwire::Encode(poll));
    ASSERT_TRUE(Eventually([this] { return !device->IsLineSilent(); }));
    EXPECT_EQ(CountLog(LOG_TYPE_INFO, "Обмен по линии COM9 восстановлен"), 1);
    EXPECT_EQ(CountLog(LOG_TYPE_ERROR, "Нет обмена по линии"), 1);
}

// A panel whose GET_WHOIS names another id than its frames carry is one device, kept under the
// id of its frames: polled for many more cycles than the table has room, it leaves the room to
// a panel that joins later in alarm. The mismatch is logged once, also when its GET_WHOIS is
// read again.
TEST_F(BusEndToEnd, APanelNamingAnotherIdInItsWhoisIsOneDeviceUnderItsFramesId) {
    sim.Stop();
    constexpr std::uint32_t NAMED = 0x99999999;
    TSimDeviceConfig misnamed = Panel(1, PANEL_1, 4, 0);
    misnamed.whois_id = NAMED;
    TSimDeviceConfig late = Panel(2, PANEL_2, 4, 0);
    late.silent = true;
    late.summary = 4;
    scenario.devices = {misnamed, late};
    ASSERT_TRUE(StartSim());
    device->SetService(true);
    const std::uint64_t from = sim.Stats().cycles;
    ASSERT_TRUE(Eventually([&] { return sim.Stats().cycles >= from + 2 * TDevice::MAX_DEVICES; }));
    TSimEvent rename = DeviceEvent(TSimAction::SetName, 1);
    rename.text = "Касса";
    std::string error;
    ASSERT_TRUE(sim.Inject(rename, error)) << error;
    ASSERT_TRUE(Inject(TSimAction::Loop, 2, 0, statecode::LOOP_FIRE));
    ASSERT_TRUE(Inject(TSimAction::Back, 2, 0, 0));

    ASSERT_TRUE(Eventually([this] { return CountRecords(PANEL_2, MAX_STATE, 4) == 1; }));
    ASSERT_TRUE(Eventually([this] { return CountRecords(PANEL_2, LINE_STATE, 6) == 1; }));
    EXPECT_EQ(sound->GetSound(), SOUND_ALARM);
    // The new name comes with the renamed panel's GET_WHOIS read again, the wrong id in it too.
    const TDeviceEntry& panel = *device->GetItem(0);
    const std::string renamed = Utf8ToCp1251("Касса");
    ASSERT_TRUE(Eventually([&] { return panel.record.Get().user_name == renamed; }));

    ASSERT_EQ(device->GetCount(), 2);
    EXPECT_EQ(panel.record.Get().device_id, PANEL_1);
    EXPECT_EQ(device->GetItem(1)->record.Get().device_id, PANEL_2);
    EXPECT_EQ(CountRecords(PANEL_1, FIND_NEW_DEVICE), 1);
    EXPECT_EQ(CountRecords(NAMED, FIND_NEW_DEVICE), 0);
    TDeviceRecord stored{};
    ASSERT_TRUE(sqlite->SelectDevice(NAMED, stored));
    EXPECT_EQ(stored.device_id, 0u) << "no row under the id the payload names";
    EXPECT_EQ(CountLog(LOG_TYPE_ERROR, "99999999"), 1);
}

// A panel whose last information was just read has every change recorded from then on, while
// the following turns read the other panels.
TEST_F(BusEndToEnd, MainsLostRightAfterThePanelIsReadIsRecordedWhileTheOthersAreRead) {
    sim.Stop();
    scenario.devices.clear();
    for (int key = 1; key <= 5; ++key) {
        scenario.devices.push_back(Panel(key, 0x51000000u + static_cast<std::uint32_t>(key), 4, 2));
    }
    // At 9600 baud the turns that read the other panels span several poll cycles.
    ASSERT_TRUE(StartSim(TSimPace::Realtime));
    device->SetService(true);
    // The first relays read complete a panel while every other panel still has its relays to
    // read, so the next turns go to them.
    TSimJournalEntry read;
    ASSERT_TRUE(sim.Journal().WaitFor(
        [](const TSimJournalEntry& e) {
            return e.kind == TSimEntryKind::Received && e.command == GET_RELAYS && e.answered;
        },
        60000, &read));
    ASSERT_TRUE(sim.Journal().WaitFor(
        [&read](const TSimJournalEntry& e) {
            return e.kind == TSimEntryKind::Received && e.device_id != read.device_id;
        },
        10000, nullptr, read.seq));
    ASSERT_TRUE(Inject(TSimAction::Power, read.device_key, 0, 0));
    const TDeviceEntry& panel = *device->GetItem(device->FindDevice(read.device_id));
    ASSERT_TRUE(Eventually([&panel] { return panel.power == 0; }));
    EXPECT_EQ(CountRecords(read.device_id, DEVICE_POWER, 0), 1) << "stored without a record";
}

// The same before the next turn: a panel read in full, whose mains fail in the polls between
// two turns, has that recorded too.
TEST_F(BusEndToEnd, MainsLostBeforeTheNextTurnAfterThePanelIsReadIsRecorded) {
    sim.Stop();
    TSimOptions options = SimOptions();
    options.turn_every = 200;
    ASSERT_TRUE(StartSim(options));
    device->SetService(true);
    TSimJournalEntry read;
    ASSERT_TRUE(sim.Journal().WaitFor(
        [](const TSimJournalEntry& e) {
            return e.kind == TSimEntryKind::Received && e.command == GET_RELAYS &&
                   e.device_id == 0x11111111 && e.answered;
        },
        60000, &read));
    ASSERT_TRUE(Inject(TSimAction::Power, 1, 0, 0));
    const TDeviceEntry& panel = *device->GetItem(device->FindDevice(0x11111111));
    ASSERT_TRUE(Eventually([&panel] { return panel.power == 0; }));
    EXPECT_EQ(CountRecords(0x11111111, DEVICE_POWER, 0), 1) << "stored without a record";
}

// The operator's command is chosen while the bus thread is held up by the database, so the first
// turns it meets lie in the backlog, with the traffic after them queued behind. It goes out in
// the first turn that is not over yet and is acknowledged; sent in a turn of the backlog, older
// answers would have stood between it and its acknowledgement.
TEST_F(BusEndToEnd, ACommandChosenDuringAStallIsSentInALiveTurnAndAcknowledged) {
    sim.Stop();
    ASSERT_TRUE(StartSim(TSimPace::Realtime));
    device->SetService(true);
    ASSERT_TRUE(Eventually([this] { return AllComplete(); }, 60));
    LockerProcess locker;
    std::string error;
    ASSERT_TRUE(locker.Lock(KTEV_DB_LOCKER, db_path, error)) << error;
    // The change waits in an insert; a full cycle later the bus thread is surely held there.
    ASSERT_TRUE(Inject(TSimAction::Summary, 2, 0, 3));
    std::uint64_t cycle = sim.Stats().cycles;
    ASSERT_TRUE(Eventually([&] { return sim.Stats().cycles >= cycle + 2; }));
    device->remote_command.device_id = PANEL_1;
    device->remote_command.address = 1;
    device->remote_command.index = 1;
    device->SetRemoteCommand(REMOTE_LINE_STATE, 3, 0); // "-- Выключить ШС" on loop 2
    cycle = sim.Stats().cycles;
    ASSERT_TRUE(Eventually([&] { return sim.Stats().cycles >= cycle + 2; }));
    ASSERT_TRUE(locker.Release());
    TSimJournalEntry sent;
    ASSERT_TRUE(sim.Journal().WaitForCommand(REMOTE_LINE_STATE, 20000, &sent));
    EXPECT_TRUE(sent.answered);
    EXPECT_TRUE(Eventually([this] { return CountRecords(PANEL_1, LINE_ON_OFF, 0x10200) == 1; }));
    EXPECT_TRUE(Eventually([this] { return CountRecords(PANEL_2, MAX_STATE, 3) == 1; }));
}

// Another process holds the database for about 8 s while the panels keep changing; the bus
// thread waits in its inserts (the busy timeout, then again at the next change) and the line
// keeps what it hears meanwhile. Once the database is free, the program works through that
// backlog, sending in none of the turns it finds there: each value that went out in a full poll
// cycle is recorded once and in order.
TEST_F(BusEndToEnd, EveryChangeMadeWhileTheDatabaseIsHeldElsewhereIsRecorded) {
    sim.Stop();
    // At 9600 baud the stall's backlog stays well inside the pseudo-terminal's buffer.
    ASSERT_TRUE(StartSim(TSimPace::Realtime));
    device->SetService(true);
    ASSERT_TRUE(Eventually([this] { return AllComplete(); }, 60));
    NewRecords();
    LockerProcess locker;
    std::string error;
    ASSERT_TRUE(locker.Lock(KTEV_DB_LOCKER, db_path, error)) << error;
    // Mains of panel 1, summary state of panel 2, battery of panel 3; about 8 s in all, twice
    // the 4 KB (4 s at 9600 baud) a pseudo-terminal hands over in one read.
    constexpr int STEPS = 16;
    std::vector<std::int32_t> power;
    std::vector<std::int32_t> summary;
    std::vector<std::int32_t> battery;
    for (int step = 0; step < STEPS; ++step) {
        power.push_back(step % 2 == 0 ? 0 : 1);
        summary.push_back(step + 1);
        battery.push_back(step % 3 + 1);
        ASSERT_TRUE(Inject(TSimAction::Power, 1, 0, static_cast<std::uint32_t>(power.back())));
        ASSERT_TRUE(Inject(TSimAction::Summary, 2, 0, static_cast<std::uint32_t>(summary.back())));
        ASSERT_TRUE(Inject(TSimAction::Battery, 3, 0, static_cast<std::uint32_t>(battery.back())));
        // The values are set at the simulator's next step, at the latest as the next cycle
        // starts; the cycle after that begins once every panel was polled with them.
        const std::uint64_t cycle = sim.Stats().cycles;
        ASSERT_TRUE(Eventually([&] { return sim.Stats().cycles >= cycle + 2; }));
    }
    ASSERT_TRUE(locker.Release());
    // A last summary state comes behind everything the stall left on the line.
    summary.push_back(100);
    ASSERT_TRUE(Inject(TSimAction::Summary, 2, 0, 100));
    const TDeviceEntry& panel_2 = *device->GetItem(device->FindDevice(PANEL_2));
    ASSERT_TRUE(Eventually([&panel_2] { return panel_2.max_state == 100; }, 60));
    std::vector<std::int32_t> stored_power;
    std::vector<std::int32_t> stored_summary;
    std::vector<std::int32_t> stored_battery;
    for (const StoredRecord& r : NewRecords()) {
        if (r.device_id == PANEL_1 && r.type == DEVICE_POWER) {
            stored_power.push_back(r.value);
        } else if (r.device_id == PANEL_2 && r.type == MAX_STATE) {
            stored_summary.push_back(r.value);
        } else if (r.device_id == PANEL_3 && r.type == DEVICE_BATTERY) {
            stored_battery.push_back(r.value);
        }
    }
    EXPECT_EQ(stored_power, power);
    EXPECT_EQ(stored_summary, summary);
    EXPECT_EQ(stored_battery, battery);
}

TEST_P(AnswerDelay, EveryAnswerIsTakenTheFirstTime) {
    sim.Stop();
    TSimOptions options = SimOptions();
    options.answer_delay_ms = GetParam();
    ASSERT_TRUE(StartSim(options));
    EveryAnswerIsTakenTheFirstTime();
}

INSTANTIATE_TEST_SUITE_P(Milliseconds, AnswerDelay, ::testing::Values(0.0, 0.5, 1.0, 3.0));

// Every frame the PC sends comes back to it, then the answer at once. The echo is dropped as
// the PC's own frame; the simulator, which wrote it, does not hear it as a request either.
TEST_F(AdapterEcho, EchoBeforeTheSwitchToReceive) {
    EveryAnswerIsTakenTheFirstTime();
    EXPECT_GT(adapter.frames, 0);
    EXPECT_EQ(adapter.echoed_before_switch, adapter.frames);
}

TEST_F(AdapterEcho, EchoAfterTheSwitchToReceive) {
    adapter.echo = EchoingAdapter::TEcho::AfterTheSwitch;
    EveryAnswerIsTakenTheFirstTime();
    EXPECT_GT(adapter.frames, 0);
}
