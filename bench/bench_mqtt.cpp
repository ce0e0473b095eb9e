// The MQTT gateway against a real mosquitto broker on 127.0.0.1: records published per second
// from the database (10^4 stored before the gateway starts, until the subscriber has the last),
// and the time from a record's insert to its arrival at a subscriber, the insert followed by the
// device change the bus thread hands over with it.
#include "database/record_feed.h"
#include "database/record_types.h"
#include "mqtt/mqtt_gateway.h"
#include "mqtt/state_changes.h"
#include "support/device_fixture.h"
#include "support/mqtt_broker.h"

#include <benchmark/benchmark.h>
#include <mosquitto.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

constexpr std::uint32_t ID = 0x5A5A0001;

// A subscriber of its own on a thread that drives its connection; it keeps the highest record
// id that arrived.
class Witness {
public:
    explicit Witness(int port) {
        mosquitto_lib_init();
        mosq_ = mosquitto_new(nullptr, true, this);
        mosquitto_message_callback_set(
            mosq_, [](mosquitto*, void* self, const mosquitto_message* m) {
                const auto* text = static_cast<const char*>(m->payload);
                const auto j = nlohmann::json::parse(text, text + m->payloadlen, nullptr, false);
                if (j.is_object() && j.contains("id")) {
                    static_cast<Witness*>(self)->last.store(j["id"].get<std::int64_t>());
                }
            });
        mosquitto_connect(mosq_, "127.0.0.1", port, 30);
        mosquitto_subscribe(mosq_, nullptr, "ktev/+/record", 1);
        thread_ = std::thread([this] {
            while (!quit_) {
                mosquitto_loop(mosq_, 10, 1);
            }
        });
    }
    ~Witness() {
        quit_ = true;
        thread_.join();
        mosquitto_destroy(mosq_);
    }
    // Waits (polls) until the record with this id arrived.
    void WaitFor(std::int64_t id) const {
        while (last.load() < id) {
            std::this_thread::yield();
        }
    }

    std::atomic<std::int64_t> last{0};

private:
    mosquitto* mosq_ = nullptr;
    std::atomic<bool> quit_{false};
    std::thread thread_;
};

class Rig {
public:
    Rig() {
        broker.Start();
        TRecordFeed feed;
        feed.Open(fixture.db_path);
        feed.WriteMark(0);
    }
    void Store(int count) {
        for (int i = 0; i < count; ++i, ++stored) {
            fixture.sqlite->InsertRecord(
                TEventRecord{0, ID, static_cast<std::int32_t>(1765000000 + stored), LINE_STATE,
                             MakeRecordValue(static_cast<std::uint16_t>(stored % 8), 0, 6)});
        }
    }
    void StartGateway() {
        TMqttSettings s;
        s.enabled = true;
        s.host = "127.0.0.1";
        s.port = broker.port();
        gateway =
            std::make_unique<TMqttGateway>(fixture.log.get(), *fixture.record, *fixture.device,
                                           changes, [this] { return fixture.sqlite->GetPath(); });
        gateway->Start(s);
        while (!gateway->IsConnected()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    TStateChanges changes;
    DeviceFixture fixture;
    MqttBroker broker;
    std::unique_ptr<TMqttGateway> gateway;
    std::int64_t stored = 0;
};

void BM_MqttRecordsPerSecond(benchmark::State& state) {
    const auto count = static_cast<int>(state.range(0));
    for (auto _ : state) {
        Rig rig;
        Witness witness(rig.broker.port());
        rig.Store(count);
        const auto start = std::chrono::steady_clock::now();
        rig.StartGateway();
        witness.WaitFor(rig.stored);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(took.count());
        state.counters["records_per_s"] = count / took.count();
    }
}
BENCHMARK(BM_MqttRecordsPerSecond)->Arg(10000)->Iterations(1)->UseManualTime();

void BM_MqttInsertToArrival(benchmark::State& state) {
    Rig rig;
    Witness witness(rig.broker.port());
    rig.StartGateway();
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        rig.Store(1);
        // As the bus thread tells of the change it has just recorded.
        rig.changes.DeviceChanged(0);
        witness.WaitFor(rig.stored);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(took.count());
    }
}
BENCHMARK(BM_MqttInsertToArrival)->Iterations(200)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace
