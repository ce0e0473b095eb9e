#include "mqtt/mqtt_json.h"

#include "database/record_types.h"
#include "records/record.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <ctime>

using json = nlohmann::json;

namespace {

std::string Dump(const json& j) {
    // Replaces bytes that are not UTF-8 instead of throwing.
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string IdText(std::uint32_t id) {
    return fmt::format("{:08X}", id);
}

std::string DeviceLabel(const TMqttDeviceState& d) {
    return d.user_name.empty() ? fmt::format("{} ({})", d.name, d.address)
                               : fmt::format("{} {} ({})", d.name, d.user_name, d.address);
}

json HaDevice(const TMqttDeviceState& d) {
    return {{"identifiers", {"ktev_" + IdText(d.device_id)}},
            {"name", DeviceLabel(d)},
            {"model", d.name}};
}

} // namespace

std::string TMqttJson::IsoTime(std::int64_t utime) {
    const auto t = static_cast<std::time_t>(utime);
    std::tm local{};
    if (localtime_r(&t, &local) == nullptr) {
        return {};
    }
    char text[40];
    if (std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local) == 0) {
        return {};
    }
    // "+0300" -> "+03:00"
    std::string out(text);
    if (out.size() >= 5) {
        out.insert(out.size() - 2, ":");
    }
    return out;
}

const char* TMqttJson::ClassName(int alarm_class) {
    switch (static_cast<TAlarmClass>(alarm_class)) {
    case TAlarmClass::Alarm:
        return "alarm";
    case TAlarmClass::Attention:
        return "attention";
    case TAlarmClass::Fault:
        return "fault";
    case TAlarmClass::Normal:
        break;
    }
    return "normal";
}

std::string TMqttJson::Record(const TEventRecord& r) const {
    const auto type = static_cast<std::uint8_t>(r.type);
    TMessageStyle style;
    std::string text;
    record_.GetRecordMessage(type, r.value, true, style, text);
    const json j = {
        {"id", r.id},
        {"device_id", IdText(r.device_id)},
        {"time", IsoTime(r.utime)},
        {"type", {{"number", static_cast<int>(r.type)}, {"name", record_.GetTypeName(r.type)}}},
        {"value", r.value},
        {"text", text},
        {"class", ClassName(static_cast<int>(record_.GetAlarmClass(type, r.value)))},
    };
    return Dump(j);
}

namespace {

// One state item: its code, its text in the tree's form and its class.
json Item(const TRecord& record, std::uint8_t type, std::int32_t value) {
    TMessageStyle style;
    std::string text;
    record.GetRecordMessage(type, value, false, style, text);
    return {{"code", RecordCode(value)},
            {"text", text},
            {"class", TMqttJson::ClassName(static_cast<int>(record.GetAlarmClass(type, value)))}};
}

std::int32_t ElementValue(int i, std::uint8_t code) {
    return MakeRecordValue(static_cast<std::uint16_t>(i), 0, code);
}

} // namespace

std::string TMqttJson::Device(const TMqttDeviceState& d) const {
    const json j = {
        {"device_id", IdText(d.device_id)},
        {"online", d.online},
        {"address", d.address},
        {"name", d.name},
        {"user_name", d.user_name},
        {"state", Item(record_, DEVICE_STATE, d.state)},
        {"power", Item(record_, DEVICE_POWER, d.power)},
        {"battery", Item(record_, DEVICE_BATTERY, d.battery)},
        {"summary", Item(record_, MAX_STATE, d.summary)},
        {"lines", d.line_state.size()},
        {"relays", d.relay.size()},
    };
    return Dump(j);
}

std::string TMqttJson::Line(const TMqttDeviceState& d, int i) const {
    const auto at = static_cast<std::size_t>(i);
    const json j = {
        {"number", i + 1},
        {"state", Item(record_, LINE_STATE, ElementValue(i, d.line_state[at]))},
        {"type", Item(record_, LINE_TYPE, ElementValue(i, d.line_type[at]))},
    };
    return Dump(j);
}

std::string TMqttJson::Relay(const TMqttDeviceState& d, int k) const {
    const std::uint32_t r = d.relay[static_cast<std::size_t>(k)];
    const auto byte = [r](int n) { return static_cast<std::uint8_t>((r >> (8 * n)) & 0xFF); };
    const json j = {
        {"number", k + 1},
        {"state", Item(record_, RELAY_STATE, ElementValue(k, byte(0)))},
        {"control", Item(record_, RELAY_CONTROL, ElementValue(k, byte(1)))},
        {"type", Item(record_, RELAY_TYPE, ElementValue(k, byte(2)))},
        {"mode", Item(record_, RELAY_MODE, ElementValue(k, byte(3)))},
    };
    return Dump(j);
}

std::string TMqttJson::SummaryDiscovery(const TMqttDeviceState& d, std::string_view prefix) {
    const std::string id = IdText(d.device_id);
    const std::string p(prefix);
    const json j = {
        {"name", "Состояние"},
        {"unique_id", "ktev_" + id + "_summary"},
        {"state_topic", p + "/" + id + "/state"},
        {"value_template", "{{ value_json.summary.text }}"},
        {"json_attributes_topic", p + "/" + id + "/state"},
        {"availability_topic", p + "/status"},
        {"device", HaDevice(d)},
    };
    return Dump(j);
}

std::string TMqttJson::LineDiscovery(const TMqttDeviceState& d, int i, std::string_view prefix) {
    const std::string id = IdText(d.device_id);
    const std::string p(prefix);
    const json j = {
        {"name", fmt::format("ШС {}", i + 1)},
        {"unique_id", fmt::format("ktev_{}_line_{}", id, i + 1)},
        {"state_topic", fmt::format("{}/{}/line/{}", p, id, i + 1)},
        {"value_template", "{{ 'ON' if value_json.state.class == 'alarm' else 'OFF' }}"},
        {"device_class", "safety"},
        {"availability_topic", p + "/status"},
        {"device", HaDevice(d)},
    };
    return Dump(j);
}

bool TMqttJson::ParseCommand(std::string_view body, TMqttCommand& command, std::string& why) {
    const json j = json::parse(body.begin(), body.end(), nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
        why = "тело команды не является объектом JSON";
        return false;
    }
    const auto name = j.find("command");
    if (name == j.end() || !name->is_string()) {
        why = "нет поля \"command\"";
        return false;
    }
    command.command = name->get<std::string>();
    command.number = 0;
    const auto number = j.find("number");
    if (number != j.end()) {
        if (!number->is_number_integer() || number->get<std::int64_t>() < 1 ||
            number->get<std::int64_t>() > 65535) {
            why = "поле \"number\" не является номером элемента";
            return false;
        }
        command.number = number->get<int>();
    }
    return true;
}
