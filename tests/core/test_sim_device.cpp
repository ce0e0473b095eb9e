#include "buslink/commands.h"
#include "sim/sim_device.h"

#include <gtest/gtest.h>

namespace {

TSimDeviceConfig Panel() {
    TSimDeviceConfig c;
    c.key = 1;
    c.address = 5;
    c.id = 0x11223344;
    c.lines = 40;
    c.sensors = 20;
    c.relays = 12;
    c.remote = 0x2FF;
    return c;
}

TSimFrame Request(std::uint8_t command, TBytes payload = {}, std::uint8_t address = 5) {
    TSimFrame f;
    f.command = command;
    f.dst_address = address;
    f.dst_id = 0x11223344;
    f.src_address = 255;
    f.src_id = 0xA1B2C3D4;
    f.payload = std::move(payload);
    return f;
}

// The device's answer to a request; fails the test when it stays quiet.
TBytes Answer(TSimDevice& d, const TSimFrame& request) {
    TBytes answer;
    std::string reason;
    EXPECT_TRUE(d.Handle(request, answer, reason)) << reason;
    return answer;
}

std::string Refusal(TSimDevice& d, const TSimFrame& request) {
    TBytes answer;
    std::string reason;
    EXPECT_FALSE(d.Handle(request, answer, reason));
    return reason;
}

} // namespace

TEST(SimDevice, StateAnswerFlagsChangedGroupsUntilTheyAreRead) {
    TSimDevice d(Panel());
    TBytes quiet(15, 0);
    quiet[0] = 0x04;
    EXPECT_EQ(Answer(d, Request(GET_STATE)), quiet) << "only mains power set";
    d.SetLoop(17, 0x0C);
    d.SetRelay(9, 0x01);
    d.SetSensor(19, 0x05);
    d.SetBattery(3);
    d.SetSummary(4);
    const TBytes state = Answer(d, Request(GET_STATE));
    ASSERT_EQ(state.size(), 15u);
    EXPECT_EQ(state[0], 0x04 | 3 << 3);
    EXPECT_EQ(d.Power(), 1);
    EXPECT_EQ(d.Battery(), 3);
    EXPECT_EQ(state[1], 0) << "configuration unchanged";
    EXPECT_EQ(state[2] | state[3] << 8, 1 << 1) << "loop 17 is in the second group of 16";
    EXPECT_EQ(state[4], 1 << 2) << "sensor 19 is in the third group of 8";
    EXPECT_EQ(state[10], 1 << 2) << "relay 9 is in the third group of 4";
    EXPECT_EQ(state[14], 4);
    EXPECT_EQ(Answer(d, Request(GET_STATE)), state) << "a state read clears nothing";

    const TBytes lines = Answer(d, Request(GET_LINES, {0}));
    ASSERT_EQ(lines.size(), 40u);
    EXPECT_EQ(lines[17], 0x0C);
    EXPECT_EQ(lines[16], statecode::LOOP_NORMAL);
    const TBytes relays = Answer(d, Request(GET_RELAYS, {0}));
    ASSERT_EQ(relays.size(), 24u);
    EXPECT_EQ(relays[18], 0x01);
    EXPECT_EQ(Answer(d, Request(GET_SENSORS)).size(), 20u);
    const TBytes after = Answer(d, Request(GET_STATE));
    EXPECT_EQ(TBytes(after.begin() + 1, after.end() - 1), TBytes(13, 0));

    EXPECT_EQ(d.TakeChanges().size(), 5u);
    d.SetLoop(17, 0x0C);
    EXPECT_TRUE(d.TakeChanges().empty()) << "setting the same value is no change";
    EXPECT_EQ(Answer(d, Request(GET_STATE))[2], 0);
}

TEST(SimDevice, RemoteCommandsChangeStateAsAPanelDoes) {
    TSimDevice d(Panel());
    d.SetLoop(2, 0x08 | statecode::LOOP_FIRE); // type 1
    d.SetLoop(3, statecode::LOOP_SHORT);
    d.SetState(3);
    d.SetSummary(5);
    d.TakeChanges();

    EXPECT_EQ(Answer(d, Request(REMOTE_RESET_LINE, {2, 0})), (TBytes{2, 0})) << "echoed";
    EXPECT_EQ(d.Loops()[2], 0x08 | statecode::LOOP_NORMAL) << "the type kept";
    EXPECT_EQ(d.Summary(), 5) << "loop 4 still in alarm";
    Answer(d, Request(REMOTE_LINE_STATE, {3, 0, 0}));
    EXPECT_EQ(d.Loops()[3], statecode::LOOP_OFF);
    EXPECT_EQ(d.Summary(), 0) << "no alarm left";
    Answer(d, Request(REMOTE_LINE_STATE, {3, 0, 1}));
    EXPECT_EQ(d.Loops()[3], statecode::LOOP_NORMAL) << "switched on";

    d.SetLoop(39, 0x1F);
    d.SetSensor(0, 6);
    d.SetSummary(4);
    Answer(d, Request(REMOTE_RESET_DEVICE));
    EXPECT_EQ(d.Loops()[39], 0x18 | statecode::LOOP_NORMAL);
    EXPECT_EQ(d.Sensors()[0], statecode::SENSOR_NORMAL);
    EXPECT_EQ(d.State(), 0);
    EXPECT_EQ(d.Summary(), 0);

    Answer(d, Request(REMOTE_RELAY_STATE, {11, 0, 1}));
    Answer(d, Request(REMOTE_RELAY_CONTROL, {11, 0, 6}));
    Answer(d, Request(REMOTE_RELAY_MODE, {11, 0, 1}));
    EXPECT_EQ(d.Relays()[11], 0x01 | 6 << 1 | 1 << 7);
    Answer(d, Request(REMOTE_RELAY_STATE, {11, 0, 0}));
    EXPECT_EQ(d.Relays()[11], 6 << 1 | 1 << 7);
    Answer(d, Request(REMOTE_SENSOR_STATE, {19, 0, 0}));
    EXPECT_EQ(d.Sensors()[19], statecode::SENSOR_OFF);

    const std::vector<TSimChange> changes = d.TakeChanges();
    ASSERT_FALSE(changes.empty());
    EXPECT_EQ(changes[0].item, TSimItem::Loop);
    EXPECT_EQ(changes[0].index, 2);
    EXPECT_EQ(changes[0].old_value, 0x0Eu);
    EXPECT_EQ(changes[0].new_value, 0x08u);
}

TEST(SimDevice, MasterRequestsChangeAddressNameAndClock) {
    TSimDevice d(Panel());
    Answer(d, Request(SET_ADR, {9}));
    EXPECT_EQ(d.Address(), 9);
    EXPECT_EQ(Refusal(d, Request(GET_STATE)), "sent to address 5, the device is at 9");
    TBytes name = {0xCA, 0xE0, 0xF1, 0xF1, 0xE0}; // "Касса"
    name.resize(19, 0);
    Answer(d, Request(SET_NAME, name, 9));
    EXPECT_EQ(d.UserName(), "\xCA\xE0\xF1\xF1\xE0");
    Answer(d, Request(REMOTE_SYNCHRO_TIME, {0x00, 0xF1, 0x53, 0x65}, 9));
    EXPECT_EQ(d.Clock(), 0x6553F100u);
    const std::vector<TSimChange> changes = d.TakeChanges();
    ASSERT_EQ(changes.size(), 3u);
    EXPECT_EQ(changes[1].item, TSimItem::UserName);
    EXPECT_EQ(changes[1].new_value, 0xF1F1E0CAu) << "the first four bytes, as records carry it";
    EXPECT_EQ(changes[1].text, "Касса");
    EXPECT_EQ(Answer(d, Request(GET_STATE, {}, 9))[1], 1) << "configuration changed";

    const TBytes whois = Answer(d, Request(GET_WHOIS, {}, 9));
    ASSERT_EQ(whois.size(), 54u);
    EXPECT_EQ(whois[1], 9);
    EXPECT_EQ(TBytes(whois.begin() + 25, whois.begin() + 44), name);
    EXPECT_EQ(Answer(d, Request(GET_STATE, {}, 9))[1], 0) << "read by GET_WHOIS";
}

TEST(SimDevice, RefusesWhatAPanelWouldNotDo) {
    TSimDeviceConfig config = Panel();
    config.remote = 0x001; // device reset only
    TSimDevice d(config);
    EXPECT_EQ(Refusal(d, Request(REMOTE_LINE_STATE, {0, 0, 1})),
              "REMOTE_LINE_STATE is not in the remote mask");
    TSimDevice full(Panel());
    EXPECT_EQ(Refusal(full, Request(REMOTE_RELAY_STATE, {12, 0, 1})), "element 12 of 12");
    EXPECT_EQ(Refusal(full, Request(REMOTE_LINE_STATE, {1, 0})), "payload of 2 bytes, 3 needed");
    EXPECT_EQ(Refusal(full, Request(SET_ADR, {255})), "address 255 is reserved");
    EXPECT_EQ(Refusal(full, Request(PING)), "PING is not served");
    TSimFrame answer = Request(GET_STATE);
    answer.answer = true;
    EXPECT_EQ(Refusal(full, answer), "an answer, not a request");
    full.SetSilent(true);
    EXPECT_EQ(Refusal(full, Request(GET_STATE)), "the device is silent");
    EXPECT_EQ(full.Loops().size(), 40u);
    EXPECT_EQ(full.TakeChanges().size(), 1u) << "only going silent changed anything";
}
