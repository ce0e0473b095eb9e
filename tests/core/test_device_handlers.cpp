#include "database/record_types.h"
#include "support/device_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

namespace {

using Stored = std::vector<StoredRecord>;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t ID = 0x00C0DB01;

class DeviceHandlers : public ::testing::Test, public DeviceFixture {
protected:
    void State(std::uint32_t id, std::uint8_t address, const Bytes& payload) {
        device->CmdCoreGetState(id, address, payload.data(), static_cast<int>(payload.size()));
    }
    void Whois(std::uint32_t id, int lines, int relays) {
        const Bytes p =
            WhoisPayload(id, 5, "\xCF\xCA\xCF-1", "\xC2\xF5\xEE\xE4", lines, 4, relays, 0x3FF);
        device->CmdCoreGetWhois(id, p.data(), static_cast<int>(p.size()));
    }
    // A device known by its GET_WHOIS and with its information read: every change counts.
    TDeviceEntry& CompleteDevice(int lines, int relays) {
        Whois(ID, lines, relays);
        TDeviceEntry& e = *device->GetItem(device->FindDevice(ID));
        e.info_complete = true;
        NewRecords();
        views.Take();
        return e;
    }
};

} // namespace

TEST_F(DeviceHandlers, FirstStateOfAnUnknownDeviceRecordsOnlyWhatIsSignificant) {
    State(ID, 7, StatePayload(0x02, 4));
    EXPECT_EQ(NewRecords(),
              (Stored{{ID, RECOVERY_DEVICE, 0}, {ID, DEVICE_STATE, 2}, {ID, MAX_STATE, 4}}));
    EXPECT_EQ(views.Take(), "STL");
    const TDeviceEntry& e = *device->GetItem(0);
    EXPECT_EQ(e.record.Get().address, 7);
    EXPECT_TRUE(e.is_new) << "FIND_NEW_DEVICE waits for the GET_WHOIS answer";
    EXPECT_TRUE(e.online);
    EXPECT_FALSE(e.whois_read);
    EXPECT_EQ(sqlite->GetDeviceCount(), 1);

    // State 1, power and battery: taken in silently before the information is complete.
    State(0x1234, 8, StatePayload(0x01 | 0x04 | 0x08));
    EXPECT_EQ(NewRecords(), (Stored{{0x1234, RECOVERY_DEVICE, 0}}));
    const TDeviceEntry& quiet = *device->GetItem(1);
    EXPECT_EQ(quiet.state, 1);
    EXPECT_EQ(quiet.power, 1);
    EXPECT_EQ(quiet.battery, 1);

    // A battery fault is significant at once.
    State(0x1234, 8, StatePayload(0x01 | 0x04 | 0x18));
    EXPECT_EQ(NewRecords(), (Stored{{0x1234, DEVICE_BATTERY, 3}}));
}

TEST_F(DeviceHandlers, WhoisInsertsTheDeviceAndRecordsItsDiscovery) {
    Whois(ID, 3, 2);
    EXPECT_EQ(NewRecords(), (Stored{{ID, FIND_NEW_DEVICE, 0}, {ID, RECOVERY_DEVICE, 0}}));
    EXPECT_EQ(views.Take(), "STL");
    const TDeviceEntry& e = *device->GetItem(0);
    const TDeviceRecord r = e.record.Get();
    EXPECT_EQ(r.device_id, ID);
    EXPECT_EQ(r.address, 5);
    EXPECT_STREQ(r.const_name, "\xCF\xCA\xCF-1");
    EXPECT_EQ(r.lines, 3);
    EXPECT_EQ(r.relays, 2);
    EXPECT_EQ(r.remote, 0x3FF);
    EXPECT_TRUE(e.whois_read);
    EXPECT_FALSE(e.is_new);

    // The same answer again: an update, no record.
    Whois(ID, 3, 2);
    EXPECT_TRUE(NewRecords().empty());
    EXPECT_EQ(views.Take(), "ST");
    EXPECT_EQ(device->GetCount(), 1);
    TDeviceRecord stored{};
    EXPECT_TRUE(sqlite->SelectDevice(ID, stored));
    EXPECT_EQ(stored.lines, 3);
}

TEST_F(DeviceHandlers, DeviceKnownOnlyToTheDatabaseJoinsTheTableFromIt) {
    Whois(ID, 3, 2);
    RecordingViews views2;
    TDevice fresh(log.get(), *record, *sqlite, views2, port, settings);
    const int i = fresh.FindDevice(ID);
    ASSERT_EQ(i, 0);
    const TDeviceEntry& e = *fresh.GetItem(i);
    EXPECT_EQ(e.record.Get().lines, 3);
    EXPECT_FALSE(e.whois_read) << "so the PC asks its GET_WHOIS again";
    EXPECT_FALSE(e.online);
    EXPECT_EQ(fresh.FindDevice(0xDEAD), -1);
    EXPECT_EQ(fresh.GetCount(), 1);
}

TEST_F(DeviceHandlers, LoopsBeforeAndAfterTheInformationIsComplete) {
    Whois(ID, 4, 0);
    NewRecords();
    Bytes loops = {0x0B, 0x09, 0x01, 0x00};
    device->CmdCoreGetLines(ID, loops.data(), 4);
    // 0x0B: state 3 with type 1 is significant; 0x09 (state 1, type 1) and 0x01 are not, and
    // the type changes are stored silently.
    EXPECT_EQ(NewRecords(), (Stored{{ID, LINE_STATE, 0x0B}}));
    TDeviceEntry& e = *device->GetItem(0);
    EXPECT_EQ(e.line[0].state, 0x0B);
    EXPECT_EQ(e.line[0].type, 1);
    EXPECT_EQ(e.line[1].type, 1);
    EXPECT_TRUE(e.lines_read);

    e.info_complete = true;
    loops = {0x0B, 0x01, 0x01, 0x00};
    device->CmdCoreGetLines(ID, loops.data(), 4);
    EXPECT_EQ(NewRecords(), (Stored{{ID, LINE_STATE, 0x10001}, {ID, LINE_TYPE, 0x10000}}));
}

TEST_F(DeviceHandlers, RelaysAfterTheInformationIsComplete) {
    TDeviceEntry& e = CompleteDevice(0, 5);
    Bytes words(10, 0);
    words[6] = 0x01; // relay 3 switches on
    device->CmdCoreGetRelays(ID, words.data(), 10);
    EXPECT_EQ(NewRecords(), (Stored{{ID, RELAY_STATE, 0x30001}}));
    EXPECT_EQ(views.Take(), "STL");
    EXPECT_EQ(e.relay[3].state, 1);

    // Control 2, type 5, automatic mode of relay 0: recorded in that order.
    words[0] = static_cast<std::uint8_t>(2 << 1 | 5 << 4 | 1 << 7);
    device->CmdCoreGetRelays(ID, words.data(), 10);
    EXPECT_EQ(NewRecords(),
              (Stored{{ID, RELAY_CONTROL, 2}, {ID, RELAY_TYPE, 5}, {ID, RELAY_MODE, 1}}));
}

TEST_F(DeviceHandlers, ShortAnswersAreReadOnlyAsFarAsTheyGo) {
    TDeviceEntry& e = CompleteDevice(8, 4);
    e.lines_read = false;
    const Bytes two_loops = {0x0C, 0x0C};
    device->CmdCoreGetLines(ID, two_loops.data(), 2);
    EXPECT_EQ(NewRecords().size(), 4u) << "two loops, each state and type";
    EXPECT_EQ(e.line[2].state, 0);
    EXPECT_TRUE(e.lines_read);

    const Bytes odd_relays = {0x01, 0x00, 0x01};
    device->CmdCoreGetRelays(ID, odd_relays.data(), 3);
    EXPECT_EQ(NewRecords(), (Stored{{ID, RELAY_STATE, 0x00001}}));

    const Bytes short_state = {0x03, 0, 0};
    State(ID, 5, short_state);
    device->CmdCoreGetWhois(ID, short_state.data(), 3);
    EXPECT_TRUE(NewRecords().empty());
    EXPECT_EQ(e.state, 0);
    int short_answers = 0;
    for (const std::string& line : LogLines(LOG_TYPE_ERROR)) {
        short_answers += line.find("Короткий ответ") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(short_answers, 2);
}

TEST_F(DeviceHandlers, ChangesClearTheReadFlags) {
    TDeviceEntry& e = CompleteDevice(2, 2);
    e.lines_read = true;
    e.sensors_read = true;
    e.relays_read = true;
    State(ID, 5, StatePayload(0x04, 3));
    EXPECT_EQ(NewRecords(), (Stored{{ID, DEVICE_POWER, 1}, {ID, MAX_STATE, 3}}));
    EXPECT_FALSE(e.lines_read);
    EXPECT_FALSE(e.sensors_read);
    EXPECT_FALSE(e.relays_read);
    EXPECT_TRUE(e.whois_read);

    // The "changed" bytes each clear their own flag.
    e.lines_read = true;
    e.sensors_read = true;
    e.relays_read = true;
    Bytes p = StatePayload(0x04, 3);
    p[1] = 1;
    p[3] = 0x80;
    State(ID, 5, p);
    EXPECT_FALSE(e.whois_read);
    EXPECT_FALSE(e.lines_read);
    EXPECT_TRUE(e.sensors_read);
    EXPECT_TRUE(e.relays_read);
    p = StatePayload(0x04, 3);
    p[9] = 1;
    p[13] = 1;
    State(ID, 5, p);
    EXPECT_FALSE(e.sensors_read);
    EXPECT_FALSE(e.relays_read);
    EXPECT_TRUE(NewRecords().empty());
}

TEST_F(DeviceHandlers, AcknowledgementsRecordTheirValuesAndAskForRereads) {
    TDeviceEntry& e = CompleteDevice(8, 8);
    const auto all_read = [&e] {
        e.lines_read = true;
        e.sensors_read = true;
        e.relays_read = true;
    };

    all_read();
    device->CmdCoreRemoteResetLine(ID, 4);
    EXPECT_EQ(NewRecords(), (Stored{{ID, LINE_RESET, 0x402FF}}));
    EXPECT_EQ(views.Take(), "L");
    EXPECT_FALSE(e.lines_read);
    EXPECT_TRUE(e.sensors_read);
    EXPECT_FALSE(e.relays_read);

    all_read();
    device->CmdCoreRemoteResetDevice(ID);
    device->CmdCoreRemoteLineState(ID, 2, 1);
    device->CmdCoreRemoteSensorState(ID, 1, 0);
    device->CmdCoreRemoteRelayState(ID, 3, 1);
    device->CmdCoreRemoteRelayControl(ID, 3, 0);
    device->CmdCoreRemoteRelayMode(ID, 7, 1);
    device->CmdCoreRemoteResetSensor(ID, 9);
    EXPECT_EQ(NewRecords(), (Stored{{ID, DEVICE_RESET, 0x02FF},
                                    {ID, LINE_ON_OFF, 0x20201},
                                    {ID, SENSOR_ON_OFF, 0x10200},
                                    {ID, RELAY_ON_OFF, 0x30201},
                                    {ID, RELAY_SET_CONTROL, 0x30200},
                                    {ID, RELAY_SET_MODE, 0x70201},
                                    {ID, SENSOR_RESET, 0x902FF}}));

    e.whois_read = true;
    device->CmdCoreSetAdr(ID, 77);
    device->CmdCoreSetName(ID, "\x41\x42\x43\x44\x45");
    device->CmdCoreSynchroTime(ID, 1700000000u);
    EXPECT_EQ(NewRecords(), (Stored{{ID, SET_ADDRESS, 77},
                                    {ID, SET_USER_NAME, 0x44434241},
                                    {ID, SYNCHRO_TIME, 1700000000}}));
    EXPECT_EQ(e.record.Get().address, 77);
    EXPECT_FALSE(e.whois_read);

    // An unknown device's acknowledgement is dropped; its time sync is not looked up.
    device->CmdCoreRemoteResetDevice(0xBAD);
    device->CmdCoreSynchroTime(0xBAD, 5);
    EXPECT_EQ(NewRecords(), (Stored{{0xBAD, SYNCHRO_TIME, 5}}));
}

TEST_F(DeviceHandlers, LossAfterMoreThanThirtySecondsAndRecovery) {
    Whois(ID, 0, 0);
    NewRecords();
    views.Take();
    TDeviceEntry& e = *device->GetItem(0);
    device->CheckOnline(29000);
    device->CheckOnline(1000);
    EXPECT_TRUE(e.online) << "30000 ms is not yet lost";
    EXPECT_TRUE(NewRecords().empty());
    EXPECT_EQ(views.Take(), "");
    device->CheckOnline(1);
    EXPECT_FALSE(e.online);
    EXPECT_EQ(NewRecords(), (Stored{{ID, LOSS_DEVICE, 0}}));
    EXPECT_EQ(views.Take(), "STL");
    device->CheckOnline(60000);
    EXPECT_TRUE(NewRecords().empty()) << "lost once";
    EXPECT_EQ(device->GetOnlineCount(), 0);

    State(ID, 5, StatePayload(0));
    EXPECT_EQ(NewRecords(), (Stored{{ID, RECOVERY_DEVICE, 0}}));
    EXPECT_EQ(e.silence_ms, 0);
    EXPECT_EQ(device->GetOnlineCount(), 1);

    // A backward clock step lowers the silence; a negative silence never counts as lost.
    device->CheckOnline(-50000);
    device->CheckOnline(50000);
    EXPECT_TRUE(e.online);
}

TEST_F(DeviceHandlers, FailedRecordLeavesTheTableAsItWasAndTheNextAnswerRetries) {
    Whois(ID, 0, 0);
    TDeviceEntry& e = *device->GetItem(0);
    NewRecords();
    views.Take();

    sqlite->Close();
    device->CheckOnline(30001);
    EXPECT_TRUE(e.online) << "LOSS_DEVICE could not be stored";
    EXPECT_EQ(views.Take(), "");
    ASSERT_TRUE(sqlite->Init(db_path));
    device->CheckOnline(0);
    EXPECT_EQ(NewRecords(), (Stored{{ID, LOSS_DEVICE, 0}}));
    EXPECT_FALSE(e.online);
    views.Take();

    // The first record of an answer fails: nothing of it is taken in, no refresh.
    sqlite->Close();
    State(ID, 5, StatePayload(0x03, 5));
    EXPECT_FALSE(e.online);
    EXPECT_EQ(e.state, 0);
    EXPECT_EQ(e.max_state, 0);
    EXPECT_EQ(views.Take(), "");
    ASSERT_TRUE(sqlite->Init(db_path));
    State(ID, 5, StatePayload(0x03, 5));
    EXPECT_EQ(NewRecords(),
              (Stored{{ID, RECOVERY_DEVICE, 0}, {ID, DEVICE_STATE, 3}, {ID, MAX_STATE, 5}}));
    EXPECT_EQ(e.state, 3);
}

TEST_F(DeviceHandlers, FullTableDropsFurtherDevicesWithOneLogLine) {
    for (std::uint32_t id = 1; id <= 64; ++id) {
        State(id, static_cast<std::uint8_t>(id), StatePayload(0));
    }
    EXPECT_EQ(device->GetCount(), 64);
    NewRecords();
    for (int i = 0; i < 5; ++i) {
        State(1000, 1, StatePayload(0));
        Whois(1000, 1, 1);
    }
    State(1001, 1, StatePayload(0));
    EXPECT_EQ(device->GetCount(), 64);
    EXPECT_TRUE(NewRecords().empty());
    int full = 0;
    for (const std::string& line : LogLines(LOG_TYPE_ERROR)) {
        full += line.find("Таблица устройств заполнена") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(full, 2) << "one line for each refused device";
    EXPECT_EQ(device->GetItem(64), nullptr);
    EXPECT_EQ(device->GetItem(-1), nullptr);
}

TEST_F(DeviceHandlers, MaxStateSummaryAndOnlineCount) {
    State(1, 1, StatePayload(0, 2));
    State(2, 2, StatePayload(0, 200)); // 200 is negative as a signed byte: never the highest
    TMessageStyle style;
    std::string expected;
    record->GetRecordMessage(MAX_STATE, 2, true, style, expected);
    EXPECT_EQ(device->GetMaxStateText(), expected);
    EXPECT_EQ(device->GetOnlineCount(), 2);
}

TEST_F(DeviceHandlers, ReadersNeverRaceTheBusThread) {
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) {
            for (int i = 0; i < device->GetCount(); ++i) {
                const TDeviceEntry* e = device->GetItem(i);
                ASSERT_NE(e, nullptr);
                const TDeviceRecord r = e->record.Get();
                EXPECT_NE(r.device_id, 0u);
                (void)e->state_node.style.Load();
                (void)static_cast<std::uint8_t>(e->line[0].state);
            }
            (void)device->GetOnlineCount();
        }
    });
    for (std::uint32_t id = 1; id <= 20; ++id) {
        State(id, static_cast<std::uint8_t>(id),
              StatePayload(static_cast<std::uint8_t>(id & 3), 3));
        const Bytes p = WhoisPayload(id, 9, "A", "B", 4, 0, 0, 0);
        device->CmdCoreGetWhois(id, p.data(), static_cast<int>(p.size()));
        const Bytes loops = {0x0C, 0x0D, 0x0E, 0x0F};
        device->CmdCoreGetLines(id, loops.data(), 4);
    }
    stop = true;
    reader.join();
    EXPECT_EQ(device->GetCount(), 20);
}

// An adapter that hears its own transmission hands the PC's frames back to the parser, late
// ones too after a stall. Only the PC sends with its own id, so none of them is a request of the
// bus or an answer: whatever the command, nothing is recorded, sent or remembered.
TEST_F(DeviceHandlers, OwnFramesHeardBackChangeNothing) {
    CompleteDevice(4, 2);
    device->remote_command.device_id = ID;
    device->remote_command.address = 5;
    device->remote_command.index = 1;
    device->SetRemoteCommand(REMOTE_RESET_LINE, 3, 0xFF);
    auto bus = std::make_unique<TDevice::TBusState>();
    bus->seen_target = ID;
    bus->seen_address = 9;
    bus->seen_time = 1700000000;
    std::strcpy(bus->seen_name, "\xD1\xEA\xEB\xE0\xE4");
    bus->turn_from = 1;
    bus->relays_next[0] = true;
    const auto before = std::make_unique<TDevice::TBusState>(*bus);

    // Every command, as a request and as an answer, with a payload long enough for any of them.
    const Bytes payload = WhoisPayload(ID, 5, "A", "B", 4, 0, 2, 0x3FF);
    TKordeya32 codec("", port.OwnId(), TPosixSerialSys::Instance());
    for (const int answer : {0, 1}) {
        for (std::uint8_t command = FIND_DEVICE; command <= REMOTE_SYNCHRO_TIME; ++command) {
            codec.BeginFrame(static_cast<std::uint16_t>(payload.size() + frame::HEADER_LENGTH));
            codec.PutByte(static_cast<std::uint8_t>(answer));
            codec.PutByte(5);
            codec.PutDword(ID);
            codec.PutByte(port.OwnAddress());
            codec.PutDword(port.OwnId());
            codec.PutByte(command);
            for (const std::uint8_t b : payload) {
                codec.PutByte(b);
            }
            ASSERT_TRUE(codec.EndFrame());
            std::memcpy(bus->receive + bus->held, codec.TransmitBuffer(),
                        static_cast<std::size_t>(codec.TransmitLength()));
            bus->held += codec.TransmitLength();
        }
    }
    device->TakeFrames(*bus, false);

    EXPECT_EQ(bus->held, 0) << "every frame was taken";
    EXPECT_EQ(bus->seen_target, before->seen_target);
    EXPECT_EQ(bus->seen_address, before->seen_address);
    EXPECT_EQ(bus->seen_time, before->seen_time);
    EXPECT_STREQ(bus->seen_name, before->seen_name);
    EXPECT_EQ(bus->turn_from, before->turn_from);
    EXPECT_EQ(std::memcmp(bus->relays_next, before->relays_next, sizeof bus->relays_next), 0);
    EXPECT_TRUE(device->remote_command.pending) << "no turn was taken";
    EXPECT_TRUE(NewRecords().empty());
    EXPECT_EQ(views.Take(), "");
    EXPECT_EQ(device->GetCount(), 1);
}
