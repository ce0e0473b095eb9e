// The MQTT gateway against a real mosquitto broker on 127.0.0.1: records in order with their
// JSON, through an outage of the broker and over TLS; retained device states for a subscriber
// that comes late; remote commands refused and taken.
#include "database/record_feed.h"
#include "database/record_types.h"
#include "mqtt/mqtt_gateway.h"
#include "mqtt/state_changes.h"
#include "records/audit.h"
#include "support/bus_fixture.h"
#include "support/mqtt_broker.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <numeric>
#include <regex>
#include <thread>

using json = nlohmann::json;

namespace {

constexpr std::uint32_t PANEL_1 = 0x11111111;

bool Eventually(const std::function<bool()>& condition, int seconds = 30) {
    return BusFixture::Eventually(condition, seconds);
}

TMqttSettings Settings(const MqttBroker& broker) {
    TMqttSettings s;
    s.enabled = true;
    s.host = "127.0.0.1";
    s.port = broker.port();
    s.client_id = "ktev-test";
    s.prefix = "ktev";
    return s;
}

int CountLines(const std::vector<std::string>& lines, const std::string& text) {
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
        return l.find(text) != std::string::npos;
    }));
}

// The payloads of the lines whose topic matches, in arrival order.
std::vector<json> Payloads(const std::vector<std::string>& lines, const std::regex& topic) {
    std::vector<json> out;
    for (const std::string& line : lines) {
        const std::size_t space = line.find(' ');
        if (space != std::string::npos && std::regex_match(line.substr(0, space), topic)) {
            out.push_back(json::parse(line.substr(space + 1), nullptr, false));
        }
    }
    return out;
}

std::vector<std::int64_t> RecordIds(const MqttSubscriber& sub) {
    std::vector<std::int64_t> ids;
    for (const json& j : Payloads(sub.Lines(), std::regex("ktev/[0-9A-F]{8}/record"))) {
        ids.push_back(j.is_object() ? j.value("id", std::int64_t{-1}) : -1);
    }
    return ids;
}

// The shipped catalogue with a loop message that holds quotes and control characters.
std::string QuotingCatalogue(const TempDir& dir) {
    std::ifstream in(std::string(TRecord::CATALOGUE_FILE_NAME), std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string from = "record_format=\xd8\xd1 %d: %s"; // "ШС %d: %s" in Windows-1251
    const std::size_t at = text.find(from);
    if (at != std::string::npos) {
        text.replace(at, from.size(), "record_format=\xd8\xd1 %d: \"%s\"\t\x01\\");
    }
    std::ofstream(dir.file(std::string(TRecord::CATALOGUE_FILE_NAME)), std::ios::binary) << text;
    return dir.path();
}

// The gateway over the database of a device fixture and a broker of its own. No bus runs:
// records are stored straight into the database, as the bus thread stores them.
class MqttRecords : public ::testing::Test {
protected:
    // `quoting`: the catalogue of QuotingCatalogue, made in a folder of the fixture's own.
    explicit MqttRecords(bool quoting = false)
        : fixture(quoting ? QuotingCatalogue(catalogue) : ProgramDir()) {}

    void StartGateway(const TMqttSettings& s) {
        // Every record of the file, from the first.
        TRecordFeed feed;
        ASSERT_TRUE(feed.Open(fixture.db_path)) << feed.Error();
        ASSERT_TRUE(feed.WriteMark(0));
        gateway =
            std::make_unique<TMqttGateway>(fixture.log.get(), *fixture.record, *fixture.device,
                                           changes, [this] { return fixture.sqlite->GetPath(); });
        ASSERT_TRUE(gateway->Start(s));
    }
    void Store(int count) {
        for (int i = 0; i < count; ++i, ++stored) {
            const TEventRecord r{0, PANEL_1 + static_cast<std::uint32_t>(stored % 3),
                                 1765000000 + stored, LINE_STATE,
                                 MakeRecordValue(static_cast<std::uint16_t>(stored % 8), 0,
                                                 static_cast<std::uint8_t>(stored % 7))};
            ASSERT_TRUE(fixture.sqlite->InsertRecord(r));
        }
    }
    void TearDown() override { gateway.reset(); }

    TempDir catalogue; // before the fixture, which loads the catalogue made in it
    TStateChanges changes;
    DeviceFixture fixture;
    MqttBroker broker;
    std::unique_ptr<TMqttGateway> gateway;
    int stored = 0;
};

class MqttRecordText : public MqttRecords {
protected:
    MqttRecordText() : MqttRecords(true) {}
};

} // namespace

TEST_F(MqttRecordText, EveryRecordArrivesInOrderWithItsJson) {
    ASSERT_TRUE(broker.Start());
    MqttSubscriber sub(broker, {"ktev/#"});
    ASSERT_TRUE(sub.WaitReady("ktev/probe"));
    Store(40);
    StartGateway(Settings(broker));
    Store(40);
    std::vector<std::int64_t> expected(80);
    std::iota(expected.begin(), expected.end(), 1);
    ASSERT_TRUE(Eventually([&] { return RecordIds(sub).size() >= expected.size(); }));
    EXPECT_EQ(RecordIds(sub), expected);
    // The mark follows the confirmations into the file.
    ASSERT_TRUE(Eventually([&] {
        TRecordFeed feed;
        std::int64_t mark = 0;
        bool found = false;
        return feed.Open(fixture.db_path) && feed.ReadMark(mark, found) && mark == 80;
    }));

    const std::vector<json> records = Payloads(sub.Lines(), std::regex("ktev/[0-9A-F]{8}/record"));
    const json& r = records.at(9); // stored as the tenth: device 1 of 3, loop 2, code 2
    EXPECT_EQ(r["device_id"], "11111111");
    EXPECT_TRUE(std::regex_match(r["time"].get<std::string>(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)")));
    EXPECT_EQ(r["type"]["number"], LINE_STATE);
    EXPECT_EQ(r["type"]["name"], fixture.record->GetTypeName(LINE_STATE));
    const std::int32_t value = MakeRecordValue(1, 0, 2);
    EXPECT_EQ(r["value"], value);
    TMessageStyle style;
    std::string text;
    fixture.record->GetRecordMessage(LINE_STATE, value, true, style, text);
    EXPECT_EQ(r["text"], text);
    EXPECT_NE(text.find("ШС 2: \""), std::string::npos) << text;
    EXPECT_NE(text.find("\t\x01\\"), std::string::npos) << text;
    EXPECT_EQ(r["class"], "normal");
    // Code 6 is a fire: the catalogue's style "Alarm".
    EXPECT_EQ(records.at(6)["class"], "alarm");
    // The status is retained "online".
    EXPECT_EQ(CountLines(sub.Lines(), "ktev/status online"), 1);
    // A clean close says "offline" itself.
    gateway.reset();
    EXPECT_TRUE(Eventually([&] { return CountLines(sub.Lines(), "ktev/status offline") == 1; }));
}

TEST_F(MqttRecords, BrokerStoppedForTwentySecondsLosesNoRecord) {
    // Sessions kept over the restart, so that the witness misses nothing while it reconnects.
    ASSERT_TRUE(broker.Start(true));
    auto sub = std::make_unique<MqttSubscriber>(broker, std::vector<std::string>{"ktev/+/record"},
                                                "ktev-witness");
    ASSERT_TRUE(sub->WaitReady("ktev/probe/record"));
    StartGateway(Settings(broker));
    ASSERT_TRUE(Eventually([&] { return gateway->IsConnected(); }));

    Store(100);
    broker.Stop();
    // The burst goes on while the broker is away for 20 s.
    const auto back = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < back) {
        Store(5);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(broker.Start(true));
    Store(100);
    const auto total = static_cast<std::size_t>(stored);
    const auto all_in = [&] {
        std::vector<std::int64_t> ids = RecordIds(*sub);
        std::sort(ids.begin(), ids.end());
        ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
        return ids.size() == total && ids.front() == 1;
    };
    ASSERT_TRUE(Eventually(all_in, 60))
        << "confirmed " << gateway->GetConfirmedId() << " of " << total << ", connected "
        << gateway->IsConnected() << ", " << RecordIds(*sub).size() << " arrived\n"
        << ::testing::PrintToString(fixture.LogLines(LOG_TYPE_ERROR)) << "\n"
        << broker.Log();

    // At least once, in order: a record may come again (the gateway resends what was in flight
    // at the loss, the broker what the witness had not acknowledged when it went), but each
    // arrives first right after the one before it.
    std::int64_t newest = 0;
    for (const std::int64_t id : RecordIds(*sub)) {
        if (id > newest) {
            ASSERT_EQ(id, newest + 1) << "record " << id << " overtook an earlier one";
            newest = id;
        }
    }
    EXPECT_EQ(newest, static_cast<std::int64_t>(total));
    EXPECT_EQ(CountLines(fixture.LogLines(LOG_TYPE_ERROR), "недоступен"), 1);
    EXPECT_EQ(CountLines(fixture.LogLines(LOG_TYPE_INFO), "восстановлена"), 1);
}

TEST_F(MqttRecords, RecordsGoThroughTlsCheckedAgainstTheTestCa) {
    ASSERT_TRUE(broker.MakeTls());
    ASSERT_TRUE(broker.Start()) << broker.Log();
    MqttSubscriber sub(broker, {"ktev/#"});
    ASSERT_TRUE(sub.WaitReady("ktev/probe"));
    TMqttSettings s = Settings(broker);
    s.tls = true;
    s.ca_file = broker.ca_file();
    StartGateway(s);
    Store(5);
    ASSERT_TRUE(Eventually([&] { return RecordIds(sub).size() == 5; }));
    EXPECT_EQ(RecordIds(sub), (std::vector<std::int64_t>{1, 2, 3, 4, 5}));
}

namespace {

// The gateway beside the real service on the simulated bus.
class MqttBus : public BusFixture {
protected:
    void SetUp() override {
        BusFixture::SetUp();
        ASSERT_TRUE(broker.Start());
        device->SetChangeSink(&changes);
        device->SetAudit(&audit);
        device->SetService(true);
        ASSERT_TRUE(Eventually([this] { return AllComplete(); }));
    }
    void TearDown() override {
        gateway.reset();
        BusFixture::TearDown();
        device->SetChangeSink(nullptr);
    }
    void StartGateway(bool commands, bool discovery = false) {
        TMqttSettings s = Settings(broker);
        s.commands = commands;
        s.discovery = discovery;
        gateway = std::make_unique<TMqttGateway>(log.get(), *record, *device, changes,
                                                 [this] { return sqlite->GetPath(); });
        ASSERT_TRUE(gateway->Start(s));
        ASSERT_TRUE(Eventually([this] { return gateway->IsConnected(); }));
    }
    // The command goes in; the gateway has dealt with it once it logs.
    void Command(const std::string& device_hex, const std::string& body, std::uint8_t level,
                 const std::string& said) {
        const int before = CountLog(level, said);
        ASSERT_TRUE(MqttPublish(broker, "ktev/" + device_hex + "/command/set", body));
        ASSERT_TRUE(Eventually([&] { return CountLog(level, said) == before + 1; })) << body;
    }

    TStateChanges changes;
    TAudit audit{log.get(), *sqlite};
    MqttBroker broker;
    std::unique_ptr<TMqttGateway> gateway;
};

} // namespace

TEST_F(MqttBus, LateSubscriberSeesEveryDeviceLoopAndRelayRetained) {
    StartGateway(false, true);
    ASSERT_TRUE(Inject(TSimAction::Loop, 1, 2, 6)); // loop 3 of panel 1 in fire
    // The table holds the panels in the order they answered, which the bus does not fix.
    ASSERT_TRUE(Eventually(
        [this] { return device->GetItem(device->FindDevice(0x11111111))->line[2].state == 6; }));
    // 3 devices, 8 + 4 loops, 4 + 2 relays, the status: all retained for a late subscriber,
    // and Home Assistant's configs: a summary sensor per panel, a binary sensor per loop.
    const auto late = [this] {
        return std::make_unique<MqttSubscriber>(
            broker, std::vector<std::string>{"ktev/#", "homeassistant/#"}, "",
            std::vector<std::string>{"--retained-only", "-C", "37", "-W", "30"});
    };
    std::unique_ptr<MqttSubscriber> sub;
    ASSERT_TRUE(Eventually([&] {
        // Until the fire's own line is there: the hand-off may still carry it.
        sub = late();
        if (!Eventually([&] { return sub->Ended(); }, 35)) {
            return false;
        }
        for (const json& j : Payloads(sub->Lines(), std::regex("ktev/11111111/line/3"))) {
            if (j["state"]["class"] == "alarm") {
                return true;
            }
        }
        return false;
    }));
    const std::vector<std::string> lines = sub->Lines();
    EXPECT_EQ(lines.size(), 37u);
    EXPECT_EQ(
        Payloads(lines, std::regex("homeassistant/sensor/ktev_[0-9A-F]{8}/summary/config")).size(),
        3u);
    const std::vector<json> loops =
        Payloads(lines, std::regex("homeassistant/binary_sensor/ktev_11111111/line_[1-8]/config"));
    ASSERT_EQ(loops.size(), 8u);
    const std::vector<json> third =
        Payloads(lines, std::regex("homeassistant/binary_sensor/ktev_11111111/line_3/config"));
    ASSERT_EQ(third.size(), 1u);
    EXPECT_EQ(third[0]["state_topic"], "ktev/11111111/line/3");
    EXPECT_EQ(third[0]["device"]["identifiers"][0], "ktev_11111111");
    EXPECT_EQ(CountLines(lines, "ktev/status online"), 1);
    const std::vector<json> states = Payloads(lines, std::regex("ktev/[0-9A-F]{8}/state"));
    ASSERT_EQ(states.size(), 3u);
    std::map<std::string, json> by_id;
    for (const json& j : states) {
        by_id[j["device_id"]] = j;
    }
    const json& panel = by_id["11111111"];
    EXPECT_EQ(panel["online"], true);
    EXPECT_EQ(panel["address"], 1);
    EXPECT_EQ(panel["name"], "Прибор-1");
    EXPECT_EQ(panel["user_name"], "Этаж 1");
    EXPECT_EQ(panel["lines"], 8);
    EXPECT_EQ(panel["relays"], 4);
    EXPECT_TRUE(panel["summary"].contains("text"));
    EXPECT_EQ(Payloads(lines, std::regex("ktev/22222222/line/[1-4]")).size(), 4u);
    EXPECT_EQ(Payloads(lines, std::regex("ktev/33333333/relay/[12]")).size(), 2u);
}

TEST_F(MqttBus, CommandsAreCheckedLikeThePopupsAndTrackedLikeTheWindows) {
    StartGateway(true);
    const std::string refused = "MQTT: команда отклонена";
    Command("11111111", "{\"command\": \"LineOff\", \"number\": ", LOG_TYPE_ERROR, refused);
    Command("11111111", "[1, 2]", LOG_TYPE_ERROR, refused);
    Command("11111111", R"({"command": "LineOff", "number": 9})", LOG_TYPE_ERROR,
            "нет элемента с номером 9");
    Command("11111111", R"({"command": "SensorOff", "number": 1})", LOG_TYPE_ERROR,
            "команда не разрешена устройством");
    Command("11111111", R"({"command": "Explode"})", LOG_TYPE_ERROR, "неизвестная команда");
    Command("44444444", R"({"command": "DeviceReset"})", LOG_TYPE_ERROR,
            "устройство 44444444 не найдено");
    Command("1111111G", R"({"command": "DeviceReset"})", LOG_TYPE_ERROR, refused);
    EXPECT_FALSE(device->remote_command.pending.load());
    EXPECT_FALSE(device->IsCommandAwaited());
    EXPECT_EQ(CountRecords(PANEL_1, LINE_ON_OFF), 0);

    // Switching loop 3 on: the panel acknowledges it, the audit trail names the client.
    Command("11111111", R"({"command": "LineOn", "number": 3})", LOG_TYPE_INFO,
            "MQTT: команда «Включить ШС» принята");
    ASSERT_TRUE(Eventually([this] { return CountRecords(PANEL_1, LINE_ON_OFF, 0x20201) == 1; }));
    std::vector<TAuditRow> rows;
    ASSERT_TRUE(Eventually([&] {
        return sqlite->SelectAudit(0, 10, rows) &&
               std::any_of(rows.begin(), rows.end(), [](const TAuditRow& r) {
                   return r.outcome == audit::COMMAND_CONFIRMED;
               });
    }));
    for (const TAuditRow& r : rows) {
        if (r.action == audit::COMMAND) {
            EXPECT_EQ(r.user, "MQTT ktev-test");
            EXPECT_NE(r.target.find("ШС 3"), std::string::npos) << r.target;
        }
    }
}

TEST_F(MqttBus, CommandsAreRefusedWhileTheSettingForbidsThem) {
    StartGateway(false);
    Command("11111111", R"({"command": "LineOn", "number": 3})", LOG_TYPE_ERROR,
            "команды по MQTT выключены");
    EXPECT_FALSE(device->remote_command.pending.load());
    EXPECT_FALSE(device->IsCommandAwaited());
}
